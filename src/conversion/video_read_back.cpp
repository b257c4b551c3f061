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

std::string describe(const VideoContents& video) {
    char text[128];
    std::snprintf(text, sizeof text, "%lld %s at %g fps, %dx%d", video.frames,
                  video.frames == 1 ? "frame" : "frames", video.framesPerSecond,
                  video.frameSize.width, video.frameSize.height);
    return text;
}

}  // namespace

VideoContents readVideoContents(const std::string& path, bool indexesFrames) {
    BackEndMessages quietBackEnd;
    cv::VideoCapture reader;
    try {
        reader.open(path, cv::CAP_FFMPEG);
    } catch (const cv::Exception&) {
        // A reader that throws cannot open the file either.
    }
    VideoContents contents;
    if (!reader.isOpened()) return contents;
    contents.readable = true;
    contents.frames = indexesFrames ? std::llround(reader.get(cv::CAP_PROP_FRAME_COUNT))
                                    : countFrames(&reader);
    contents.framesPerSecond = reader.get(cv::CAP_PROP_FPS);
    contents.frameSize = cv::Size(static_cast<int>(reader.get(cv::CAP_PROP_FRAME_WIDTH)),
                                  static_cast<int>(reader.get(cv::CAP_PROP_FRAME_HEIGHT)));
    return contents;
}

bool contentsMatch(const VideoContents& contents, const VideoContents& written,
                   std::string* whyNot) {
    if (!contents.readable) {
        *whyNot = "no reader can open the finished file (" + describe(written) + " were written)";
        return false;
    }
    const bool rateKept = std::fabs(contents.framesPerSecond - written.framesPerSecond) <=
                          kRateTolerance * written.framesPerSecond;
    if (contents.frames == written.frames && rateKept && contents.frameSize == written.frameSize) {
        return true;
    }
    *whyNot = "the file holds " + describe(contents) + " where " + describe(written) +
              " were written";
    if (!rateKept) *whyNot += ": its container cannot store that rate";
    return false;
}
