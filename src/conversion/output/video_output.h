// The video file being written: opened once for the first image's size, every frame
// appended at that size, finished explicitly, then read back.
#pragma once

#include "output_file.h"
#include "video_codec.h"
#include "video_read_back.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <string>
#include <vector>

// One frame for the video: the image, and the JPEG file it was loaded from when the video can
// take that file as it stands (see VideoOutput::copiesJpegFrames).
struct VideoFrame {
    cv::Mat image;
    std::vector<std::uint8_t> jpeg;
};

// The image scaled to fit inside the frame size, its shape kept, centred on black, in
// `letterboxed` (reused, so a sequence of odd-sized frames allocates once); the image itself
// where it has that size already.
const cv::Mat& fitIntoFrame(const cv::Mat& image, cv::Size frameSize, cv::Mat* letterboxed);

// The image as a video that takes encoded frames (see VideoOutput::copiesJpegFrames) stores
// it: fitted, then encoded as a JPEG file into `encoded`. Any thread may call it, so the frame
// workers encode ahead of the one writer.
void encodeVideoFrame(const cv::Mat& image, cv::Size frameSize, cv::Mat* letterboxed,
                      std::vector<std::uint8_t>* encoded);

// What finishing a video came to.
enum class VideoFinish {
    kInPlace,      // the video holds what was written and stands under the output name
    kInPlaceWithoutColourDescription,  // so, but as written: its copy could not be made
    kNotSaved,     // it could not be completed, read or put in place; the name keeps what it held
    kNotAsWritten,  // it reads back other than written; the name keeps what it held
    kKeptBeside     // a run stopped early: the file at the name stays, the video is beside it
};

class VideoOutput {
public:
    // Opens the writer on a new file for the output name. A file that already stands at
    // that name is left untouched until finish() replaces it with the finished video.
    bool open(const std::string& outputName, double framesPerSecond, cv::Size imageSize,
              std::string* whyNot);

    // For a container that stores frame times in whole milliseconds, a rate whose frames are
    // no whole number of them apart can only be approximated; howStored then says how.
    bool rateIsApproximated(std::string* howStored) const;

    // Whether the video takes JPEG files of its frame size as its frames, byte for byte: a
    // Motion JPEG video, where the video library can pass encoded frames through (OpenCV 4.10
    // and later). Known once open.
    bool copiesJpegFrames() const { return copiesJpegFrames_; }
    cv::Size frameSize() const { return contentsWritten_.frameSize; }

    // Appends one frame: its JPEG file as it stands when there is one and the video copies
    // them, else its image. An image of another size is scaled to fit inside the video's size,
    // its shape kept, centred on black. False once the file cannot take more (no room left,
    // size limit reached): the frames written since are lost, and finish() will fail.
    bool write(const VideoFrame& frame, std::string* whyNot);
    bool write(const cv::Mat& image, std::string* whyNot) {
        return write(VideoFrame{image, {}}, whyNot);
    }

    // Every way out of a run that has a video to keep ends here: flushes the encoder, closes
    // the file and flushes it to disk, reads it back and compares it with what was written,
    // and only then puts it in place under the output name. Where the container can say how
    // its colours are to be read, the video is first replaced by a copy that says so (see
    // colour_pass.h); where that cannot be done, the video is kept as written. A video with no
    // frame is put there only where no file stands. A second call only repeats the first one's
    // result. A VideoOutput destroyed without it removes its file.
    VideoFinish finish(std::string* whyNot);

    bool isFinished() const { return finished_; }

    // For a run stopped before its end: a file that stands at the output name is kept as it
    // was, and finish() keeps the video beside it, under the name keptPath() then gives.
    void keepAnyExistingFile() { keepExistingFile_ = true; }
    const std::string& keptPath() const { return keptPath_; }
    std::int64_t framesWritten() const { return contentsWritten_.frames; }

private:
    bool rateCanBeStored(double framesPerSecond, std::string* whyNot) const;
    bool frameSizeFits(cv::Size imageSize, std::string* whyNot);
    bool openWriter(std::string* whyNot);
    bool openCopyingWriter(int fourcc);
    void writeEncoded(const VideoFrame& frame);
    VideoFinish completeFile(std::string* whyNot);
    void describeColours();

    VideoCodecChoice codec_{};
    std::string extension_;  // the output name's, which chooses the container
    VideoContents contentsWritten_;  // what went into the writer
    std::string failure_;  // why the video cannot be kept, once that is known
    std::string whyColoursUndescribed_;  // empty while the video describes its colours
    VideoFinish outcome_ = VideoFinish::kNotSaved;
    bool finished_ = false;
    bool keepExistingFile_ = false;
    std::string keptPath_;
    OutputFile file_;  // declared before the writer, so it outlives the writer
    cv::VideoWriter writer_;
    bool copiesJpegFrames_ = false;
    cv::Mat letterboxed_;  // reused, so a sequence of odd-sized frames allocates once
    std::vector<std::uint8_t> encodedFrame_;  // reused likewise
};
