#include "video_read_back.h"

#include "platform/back_end_stderr_capture.h"

#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>

namespace {

constexpr double kRateTolerance = 0.001;

// Counts the frames, noting the last one's time.
void countFrames(cv::VideoCapture* reader, VideoContents* contents) {
    while (reader->grab()) {
        ++contents->frames;
        contents->lastFrameMilliseconds = reader->get(cv::CAP_PROP_POS_MSEC);
    }
}

// Each frame's time is rounded to the millisecond on its own, so the last one is within half
// a millisecond of where the rate puts it, however long the video. One frame has no rate.
bool millisecondTimesKeepRate(const VideoContents& contents, double framesPerSecond) {
    if (contents.frames < 2) return true;
    const double expected = static_cast<double>(contents.frames - 1) * 1000.0 / framesPerSecond;
    return std::fabs(contents.lastFrameMilliseconds - expected) <= 1.0;
}

std::string describe(const VideoContents& video) {
    char text[128];
    std::snprintf(text, sizeof text, "%lld %s at %g fps, %dx%d", video.frames,
                  video.frames == 1 ? "frame" : "frames", video.framesPerSecond,
                  video.frameSize.width, video.frameSize.height);
    return text;
}

}  // namespace

VideoContents readVideoContents(const std::string& path, const VideoCodecChoice& codec) {
    BackEndStderrCapture quietBackEnd;
    cv::VideoCapture reader;
    try {
        reader.open(path, cv::CAP_FFMPEG);
    } catch (const cv::Exception&) {
        // A reader that throws cannot open the file either.
    }
    VideoContents contents;
    if (!reader.isOpened()) return contents;
    contents.readable = true;
    if (codec.indexesFrames) {
        contents.frames = std::llround(reader.get(cv::CAP_PROP_FRAME_COUNT));
    } else {
        countFrames(&reader, &contents);
    }
    contents.framesPerSecond = reader.get(cv::CAP_PROP_FPS);
    contents.timesInMilliseconds = codec.timesInMilliseconds;
    if (contents.timesInMilliseconds && contents.frames >= 2 &&
        contents.lastFrameMilliseconds > 0.0) {
        contents.framesPerSecond =
            static_cast<double>(contents.frames - 1) * 1000.0 / contents.lastFrameMilliseconds;
    }
    contents.frameSize = cv::Size(static_cast<int>(reader.get(cv::CAP_PROP_FRAME_WIDTH)),
                                  static_cast<int>(reader.get(cv::CAP_PROP_FRAME_HEIGHT)));
    return contents;
}

bool contentsMatch(const VideoContents& readBack, const VideoContents& written,
                   std::string* whyNot) {
    if (!readBack.readable) {
        *whyNot = "no reader can open the finished file (" + describe(written) + " were written)";
        return false;
    }
    const bool rateKept =
        readBack.timesInMilliseconds
            ? millisecondTimesKeepRate(readBack, written.framesPerSecond)
            : std::fabs(readBack.framesPerSecond - written.framesPerSecond) <=
                  kRateTolerance * written.framesPerSecond;
    if (readBack.frames == written.frames && rateKept && readBack.frameSize == written.frameSize) {
        return true;
    }
    *whyNot = "the file holds " + describe(readBack) + " where " + describe(written) +
              " were written";
    if (!rateKept) *whyNot += ": its container cannot store that rate";
    return false;
}
