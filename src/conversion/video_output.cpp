#include "video_output.h"

#include "back_end_messages.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace {

// Every container goes through FFmpeg, Motion JPEG too: OpenCV's own Motion JPEG writer
// encodes on one core here and is slower, stores the rate as a whole number (29.97 would
// become 30), and aborts the process when an .avi passes 4 GiB.
constexpr int kWriterBackEnd = cv::CAP_FFMPEG;

std::string describeRate(double framesPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", framesPerSecond);
    return text;
}

std::string whyNoContainer(const std::string& outputName) {
    const std::string extension = fileExtensionOf(outputName);
    return extension.empty() ? "the name has no extension to choose a container by"
                             : "no known container for the extension " + extension;
}

}  // namespace

bool VideoOutput::rateCanBeStored(const std::string& outputName, double framesPerSecond,
                                  std::string* whyNot) const {
    const std::string rate = "the frame rate " + describeRate(framesPerSecond);
    const std::string container = fileExtensionOf(outputName);
    if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0.0) {
        *whyNot = rate + " is not a finite number above zero";
    } else if (framesPerSecond < codec_.lowestRate) {
        *whyNot = rate + " is below what " + container + " can store (at least " +
                  describeRate(codec_.lowestRate) + ")";
    } else if (framesPerSecond > codec_.highestRate) {
        *whyNot = rate + " is above what " + container + " can store (at most " +
                  describeRate(codec_.highestRate) + ")";
    } else {
        return true;
    }
    return false;
}

bool VideoOutput::frameSizeFits(cv::Size imageSize, std::string* whyNot) {
    // FFmpeg's writer keeps frames as 4:2:0, which has only even widths and heights.
    written_.frameSize = cv::Size(imageSize.width & ~1, imageSize.height & ~1);
    if (written_.frameSize.width >= codec_.narrowestWidth && written_.frameSize.height > 0) {
        return true;
    }
    *whyNot = "the frame size " + std::to_string(imageSize.width) + "x" +
              std::to_string(imageSize.height) + " is too small for " + codec_.codecName +
              " (at least " + std::to_string(codec_.narrowestWidth) + "x2)";
    return false;
}

bool VideoOutput::openWriter(std::string* whyNot) {
    BackEndMessages backEnd;
    errno = 0;
    for (int fourcc : codec_.fourccs) {
        try {
            if (writer_.open(file_.writerPath(), kWriterBackEnd, fourcc, written_.framesPerSecond,
                             written_.frameSize, true)) {
                return true;
            }
        } catch (const cv::Exception&) {
            // A back end that throws has refused like one that returns false.
        }
    }
    // Encoders short of memory say so on stderr, or fail to start their threads quietly.
    const bool outOfMemory = errno == ENOMEM || backEnd.mention("alloc");
    *whyNot = outOfMemory
                  ? std::string("there is not enough memory to start the ") + codec_.codecName +
                        " encoder"
                  : std::string("no ") + codec_.codecName + " encoder could be opened for it";
    return false;
}

bool VideoOutput::open(const std::string& outputName, double framesPerSecond, cv::Size imageSize,
                       std::string* whyNot) {
    if (!chooseVideoCodec(outputName, &codec_)) {
        *whyNot = whyNoContainer(outputName);
        return false;
    }
    if (!rateCanBeStored(outputName, framesPerSecond, whyNot) ||
        !frameSizeFits(imageSize, whyNot) || !file_.create(outputName, whyNot)) {
        return false;
    }
    written_.framesPerSecond = framesPerSecond;
    written_.frames = 0;
    failure_.clear();
    finished_ = false;
    if (openWriter(whyNot)) return true;
    file_.discard();
    return false;
}

// The image scaled to fit inside the video's size with its aspect ratio kept, centred on black.
const cv::Mat& VideoOutput::fitted(const cv::Mat& image) {
    const cv::Size frame = written_.frameSize;
    const double scale = std::min(static_cast<double>(frame.width) / image.cols,
                                  static_cast<double>(frame.height) / image.rows);
    const cv::Size scaledSize(
        std::clamp(static_cast<int>(std::lround(image.cols * scale)), 1, frame.width),
        std::clamp(static_cast<int>(std::lround(image.rows * scale)), 1, frame.height));
    letterboxed_.create(frame, image.type());
    letterboxed_.setTo(cv::Scalar::all(0));
    cv::Mat placed = letterboxed_(cv::Rect((frame.width - scaledSize.width) / 2,
                                           (frame.height - scaledSize.height) / 2,
                                           scaledSize.width, scaledSize.height));
    cv::resize(image, placed, scaledSize, 0, 0, cv::INTER_AREA);
    return letterboxed_;
}

bool VideoOutput::write(const cv::Mat& frame, std::string* whyNot) {
    {
        // An encoder short of memory complains on every frame; the read-back says what it cost.
        BackEndMessages quietBackEnd;
        writer_.write(frame.size() == written_.frameSize ? frame : fitted(frame));
    }
    ++written_.frames;
    if (file_.hasRoomLeft(&failure_)) return true;
    *whyNot = failure_;
    return false;
}

// Each step only once the ones before it succeeded.
bool VideoOutput::completeFile(std::string* whyNot) {
    // The encoder's last bytes and the container's index are written only at release.
    if (!file_.hasRoomLeft(whyNot) || !file_.flushToDisk(whyNot)) return false;
    // With no frame there is nothing to read: some containers cannot even be opened then.
    if (written_.frames > 0) {
        readBack_ = readVideoContents(file_.writerPath(), codec_.indexesFrames);
        // A file that holds no video does not replace what the output name holds.
        if (!readBack_.readable || readBack_.frames == 0) {
            return contentsMatch(readBack_, written_, whyNot);
        }
    }
    return file_.putInPlace(whyNot);
}

bool VideoOutput::finish(std::string* whyNot) {
    if (!finished_) {
        finished_ = true;
        {
            BackEndMessages quietBackEnd;
            writer_.release();
        }
        if (failure_.empty()) completeFile(&failure_);
        if (!failure_.empty()) file_.discard();
    }
    *whyNot = failure_;
    return failure_.empty();
}

bool VideoOutput::holdsWhatWasWritten(std::string* whyNot) {
    if (!finish(whyNot)) return false;
    return written_.frames == 0 || contentsMatch(readBack_, written_, whyNot);
}
