// The video file being written: opened once for the first image's size, every frame
// appended at that size, finished explicitly, then read back.
#pragma once

#include "output_file.h"
#include "video_codec.h"
#include "video_read_back.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

class VideoOutput {
public:
    // Opens the writer on a new file beside the output name. A file that already stands at
    // that name is left untouched until finish() replaces it with the finished video.
    bool open(const std::string& outputName, double framesPerSecond, cv::Size imageSize,
              std::string* whyNot);

    // Appends one frame; an image of another size is scaled to fit inside the video's size,
    // its shape kept, centred on black. False once the file cannot take more (no room left,
    // size limit reached): the frames written since are lost, and finish() will fail.
    bool write(const cv::Mat& frame, std::string* whyNot);

    // Flushes the encoder, closes the file, flushes it to disk, reads it back and renames it
    // over the output name, unless no reader can open it as a video. Any way out of a run
    // that has a video to keep calls it; a second call only repeats the first one's result.
    // A VideoOutput destroyed without it removes its file.
    bool finish(std::string* whyNot);

    // After finish(): whether the video read back holds the frames written, at the rate and
    // size written.
    bool holdsWhatWasWritten(std::string* whyNot);

private:
    bool rateCanBeStored(const std::string& outputName, double framesPerSecond,
                         std::string* whyNot) const;
    bool frameSizeFits(cv::Size imageSize, std::string* whyNot);
    bool openWriter(std::string* whyNot);
    bool completeFile(std::string* whyNot);
    const cv::Mat& fitted(const cv::Mat& image);

    VideoCodecChoice codec_{};
    VideoContents written_;     // what went into the writer
    VideoContents readBack_;    // what the finished file holds
    std::string failure_;  // why the video cannot be kept, once that is known
    bool finished_ = false;
    OutputFile file_;           // declared before the writer, so it outlives the writer
    cv::VideoWriter writer_;
    cv::Mat letterboxed_;  // reused, so a sequence of odd-sized frames allocates once
};
