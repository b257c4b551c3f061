// seqcat_make_frames: draws a short numbered image sequence to feed seqcat.
// Each frame shows a ball crossing a colour gradient with the frame's index written on it, so
// a video made from the sequence plays visibly in order and a lost or repeated frame shows.
//
//   seqcat_make_frames [--base f] [--ext jpg] [--first 0] [--last 10] [--pad 3]
//                      [--width 640] [--height 360]
//
// writes <base><index padded to pad digits>.<ext> for every index from first to last.

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

struct FrameSetOptions {
    std::string baseName = "f";
    std::string extension = "jpg";
    long firstIndex = 0;
    long lastIndex = 10;
    long padding = 3;
    long width = 640;
    long height = 360;
};

void printUsage(std::ostream& out) {
    out << "usage: seqcat_make_frames [--base f] [--ext jpg] [--first 0] [--last 10] [--pad 3]\n"
           "                          [--width 640] [--height 360]\n"
           "Writes <base><index, zero-padded to pad digits>.<ext> for every index from first\n"
           "to last: a ball crossing a gradient, with the index written on each frame.\n";
}

// Reads a whole decimal number in [low, high]; anything else is refused rather than guessed.
bool readNumber(const char* text, long low, long high, long* value) {
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || number < low || number > high) return false;
    *value = number;
    return true;
}

bool parseArguments(int argc, char* argv[], FrameSetOptions* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "-h" || name == "--help") {
            printUsage(std::cout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::cerr << "seqcat_make_frames: " << name << " needs a value\n";
            return false;
        }
        const char* value = argv[++i];
        bool valid = true;
        if (name == "--base") {
            options->baseName = value;
        } else if (name == "--ext") {
            options->extension = value;
        } else if (name == "--first") {
            valid = readNumber(value, INT_MIN, INT_MAX, &options->firstIndex);
        } else if (name == "--last") {
            valid = readNumber(value, INT_MIN, INT_MAX, &options->lastIndex);
        } else if (name == "--pad") {
            valid = readNumber(value, 0, 64, &options->padding);
        } else if (name == "--width") {
            valid = readNumber(value, 1, 8192, &options->width);
        } else if (name == "--height") {
            valid = readNumber(value, 1, 8192, &options->height);
        } else {
            std::cerr << "seqcat_make_frames: unknown option " << name << "\n";
            return false;
        }
        if (!valid) {
            std::cerr << "seqcat_make_frames: bad value for " << name << ": '" << value << "'\n";
            return false;
        }
    }
    return true;
}

std::string framePath(const FrameSetOptions& options, long index) {
    char number[96];
    std::snprintf(number, sizeof number, "%0*ld", static_cast<int>(options.padding), index);
    return options.baseName + number + "." + options.extension;
}

// position runs from 0 (first frame) to 1 (last frame).
cv::Mat drawFrame(const FrameSetOptions& options, long index, double position) {
    const int width = static_cast<int>(options.width);
    const int height = static_cast<int>(options.height);
    cv::Mat frame(height, width, CV_8UC3);
    for (int x = 0; x < width; ++x) {
        const int shade = width > 1 ? 255 * x / (width - 1) : 0;
        frame.col(x).setTo(cv::Scalar(255 - shade, 96, shade));  // blue on the left, red on the right
    }
    const int radius = std::max(2, std::min(width, height) / 8);
    const int centreX = radius + static_cast<int>(position * std::max(0, width - 2 * radius));
    cv::circle(frame, cv::Point(centreX, height / 2), radius, cv::Scalar(255, 255, 255), cv::FILLED,
               cv::LINE_AA);

    const std::string label = std::to_string(index);
    const double scale = std::max(0.3, height / 120.0);
    const int thickness = std::max(1, height / 90);
    cv::putText(frame, label, cv::Point(width / 20 + 2, height - height / 12 - 2),
                cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), thickness + 2, cv::LINE_AA);
    cv::putText(frame, label, cv::Point(width / 20, height - height / 12), cv::FONT_HERSHEY_SIMPLEX,
                scale, cv::Scalar(0, 255, 255), thickness, cv::LINE_AA);
    return frame;
}

}  // namespace

int main(int argc, char* argv[]) {
    FrameSetOptions options;
    if (!parseArguments(argc, argv, &options)) {
        printUsage(std::cerr);
        return 2;
    }
    const long steps = options.lastIndex - options.firstIndex;
    for (long index = options.firstIndex; index <= options.lastIndex; ++index) {
        const double position = steps > 0 ? double(index - options.firstIndex) / double(steps) : 0.0;
        const std::string path = framePath(options, index);
        bool written = false;
        try {
            written = cv::imwrite(path, drawFrame(options, index, position));
        } catch (const cv::Exception& error) {
            std::cerr << "seqcat_make_frames: " << error.what() << "\n";
        }
        if (!written) {
            std::cerr << "seqcat_make_frames: cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
