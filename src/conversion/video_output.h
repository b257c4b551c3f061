// The video file being written: opened once for the first image's size, every frame
// appended at that size, finished explicitly.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

class VideoOutput {
public:
    // Opens the writer. Returns "" on success, otherwise why the video cannot be made.
    // A file that already stands at that name is left untouched when opening fails.
    std::string open(const std::string& outputName, double framesPerSecond, cv::Size imageSize);

    // Appends one frame, scaled to the video's size when its own size differs, so that no
    // frame the writer would refuse is lost.
    void write(const cv::Mat& frame);

    // Flushes the encoder and closes the file.
    void finish();

private:
    cv::VideoWriter writer_;
    cv::Size frameSize_;
    cv::Mat scaledFrame_;  // reused, so a sequence of odd-sized frames allocates once
};
