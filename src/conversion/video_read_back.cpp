#include "video_read_back.h"

#include "back_end_messages.h"

#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>

namespace {

constexpr double kRateTolerance = 0.001;

long long countFrames(cv::VideoCapture* reader) {
    long long frames = 0;
    while (reader->grab()) ++frames;
    return frames;
}

std::string describe(long long frames, double framesPerSecond, cv::Size size) {
    char text[128];
    std::snprintf(text, sizeof text, "%lld %s at %g fps, %dx%d", frames,
                  frames == 1 ? "frame" : "frames", framesPerSecond, size.width, size.height);
    return text;
}

}  // namespace

bool readsBackAsWritten(const std::string& path, const WrittenVideo& written, std::string* whyNot) {
    BackEndMessages quietBackEnd;
    cv::VideoCapture reader;
    try {
        reader.open(path, cv::CAP_FFMPEG);
    } catch (const cv::Exception&) {
        // A reader that throws cannot open the file either.
    }
    if (!reader.isOpened()) {
        *whyNot = "the finished file cannot be read back as a video (" +
                  describe(written.frames, written.framesPerSecond, written.frameSize) +
                  " were written)";
        return false;
    }
    const long long frames = written.indexesFrames
                                 ? std::llround(reader.get(cv::CAP_PROP_FRAME_COUNT))
                                 : countFrames(&reader);
    const double framesPerSecond = reader.get(cv::CAP_PROP_FPS);
    const cv::Size frameSize(static_cast<int>(reader.get(cv::CAP_PROP_FRAME_WIDTH)),
                             static_cast<int>(reader.get(cv::CAP_PROP_FRAME_HEIGHT)));
    const bool rateKept = std::fabs(framesPerSecond - written.framesPerSecond) <=
                          kRateTolerance * written.framesPerSecond;
    if (frames == written.frames && rateKept && frameSize == written.frameSize) return true;
    *whyNot = "the file holds " + describe(frames, framesPerSecond, frameSize) + " where " +
              describe(written.frames, written.framesPerSecond, written.frameSize) +
              " were written";
    if (!rateKept) *whyNot += ": its container cannot store that rate";
    return false;
}
