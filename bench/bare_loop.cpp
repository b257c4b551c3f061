// The bare loop the benchmark compares seqcat against: the same OpenCV calls seqcat makes for
// each frame (load as colour, append to the video) and nothing else, so the difference between
// the two is what seqcat itself costs.
//
//   seqcat_bare_loop PATTERN FIRST LAST FPS OUTPUT [--backend ffmpeg|mjpeg] [--fourcc CODE]
//                    [--quality Q] [--stripes N] [--show]
//
// PATTERN is a printf pattern with one integer conversion (frames/f%03d.jpg). Without
// --backend the codec is chosen by seqcat's own rule for the output name's extension and
// written through FFmpeg, as seqcat writes it; --backend and --fourcc try another writer.
// --show also shows each frame in a window made as seqcat makes its own, with the same 10 ms
// key poll, so the cost of showing can be told apart from what seqcat adds to it.
#include "video_codec.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct LoopSettings {
    std::string pattern;
    int firstIndex = 0;
    int lastIndex = 0;
    double framesPerSecond = 15.0;
    std::string outputName;
    int backend = -1;  // -1: seqcat's choice
    std::string fourcc;
    int quality = -1;  // -1: the writer's own default
    int stripes = -1;
    bool show = false;
};

void printUsage() {
    std::fprintf(stderr,
                 "usage: seqcat_bare_loop PATTERN FIRST LAST FPS OUTPUT [--backend ffmpeg|mjpeg]"
                 " [--fourcc CODE] [--quality Q] [--stripes N] [--show]\n");
}

bool parseArguments(int argc, char* argv[], LoopSettings* settings) {
    if (argc < 6) return false;
    settings->pattern = argv[1];
    settings->firstIndex = std::atoi(argv[2]);
    settings->lastIndex = std::atoi(argv[3]);
    settings->framesPerSecond = std::atof(argv[4]);
    settings->outputName = argv[5];
    for (int i = 6; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--show") {
            settings->show = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (option == "--backend") {
            if (value == "ffmpeg") settings->backend = cv::CAP_FFMPEG;
            else if (value == "mjpeg") settings->backend = cv::CAP_OPENCV_MJPEG;
            else return false;
        } else if (option == "--fourcc") {
            if (value.size() != 4) return false;
            settings->fourcc = value;
        } else if (option == "--quality") {
            settings->quality = std::atoi(value.c_str());
        } else if (option == "--stripes") {
            settings->stripes = std::atoi(value.c_str());
        } else {
            return false;
        }
    }
    return (settings->backend < 0) == settings->fourcc.empty();  // both or neither
}

std::string formatPath(const std::string& pattern, int index) {
    char path[1024];
    std::snprintf(path, sizeof path, pattern.c_str(), index);
    return path;
}

bool openWriter(const LoopSettings& settings, cv::Size frameSize, cv::VideoWriter* writer) {
    if (settings.backend >= 0) {
        const std::string& code = settings.fourcc;
        return writer->open(settings.outputName, settings.backend,
                            cv::VideoWriter::fourcc(code[0], code[1], code[2], code[3]),
                            settings.framesPerSecond, frameSize, true);
    }
    VideoCodecChoice choice;
    if (!chooseVideoCodec(settings.outputName, &choice)) return false;
    for (int fourcc : choice.fourccs) {
        if (writer->open(settings.outputName, cv::CAP_FFMPEG, fourcc, settings.framesPerSecond, frameSize,
                         true)) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    LoopSettings settings;
    if (!parseArguments(argc, argv, &settings)) {
        printUsage();
        return 2;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    cv::Size frameSize;
    {
        const cv::Mat probeImage = cv::imread(formatPath(settings.pattern, settings.firstIndex),
                                              cv::IMREAD_COLOR);
        if (probeImage.empty()) {
            std::fprintf(stderr, "seqcat_bare_loop: cannot read the first image\n");
            return 1;
        }
        frameSize = probeImage.size();
    }

    cv::VideoWriter writer;
    if (!openWriter(settings, frameSize, &writer)) {
        std::fprintf(stderr, "seqcat_bare_loop: cannot create '%s'\n", settings.outputName.c_str());
        return 1;
    }
    // Writer properties are set once it is open: the Motion JPEG writer takes them no other way.
    if (settings.quality >= 0 && !writer.set(cv::VIDEOWRITER_PROP_QUALITY, settings.quality)) {
        std::fprintf(stderr, "seqcat_bare_loop: the writer refuses quality %d\n", settings.quality);
        return 1;
    }
    if (settings.stripes >= 0 && !writer.set(cv::VIDEOWRITER_PROP_NSTRIPES, settings.stripes)) {
        std::fprintf(stderr, "seqcat_bare_loop: the writer refuses %d stripes\n", settings.stripes);
        return 1;
    }

    if (settings.show) cv::namedWindow("seqcat", cv::WINDOW_NORMAL);
    int framesWritten = 0;
    for (int index = settings.firstIndex; index <= settings.lastIndex; ++index) {
        const cv::Mat frame = cv::imread(formatPath(settings.pattern, index), cv::IMREAD_COLOR);
        if (frame.empty()) break;
        writer.write(frame);
        if (settings.show) {
            cv::imshow("seqcat", frame);
            cv::waitKey(10);
        }
        ++framesWritten;
        if (index == settings.lastIndex) break;  // no wrap past the largest index
    }
    writer.release();
    std::printf("%d frames written\n", framesWritten);
    return 0;
}
