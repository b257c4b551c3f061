#include "video_output.h"

#include "platform/back_end_stderr_capture.h"
#include "colour_pass.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

// Every container goes through FFmpeg, Motion JPEG too: OpenCV's own Motion JPEG writer
// encodes on one core here and is slower, stores the rate as a whole number (29.97 would
// become 30), and aborts the process when an .avi passes 4 GiB.
constexpr int kWriterBackEnd = cv::CAP_FFMPEG;

std::string describeRate(double framesPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "%.12g", framesPerSecond);
    return text;
}

// The writer hands the encoder the rate as a fraction: over 1, 10, 100 or 1000, the first that
// keeps it to a thousandth, with a numerator that must fit a signed 32-bit number.
bool encoderCanBeGiven(double framesPerSecond) {
    for (double denominator = 1.0;; denominator *= 10.0) {
        const double numerator = std::floor(framesPerSecond * denominator + 0.5);
        if (numerator > std::numeric_limits<std::int32_t>::max()) return false;
        if (std::fabs(numerator / denominator - framesPerSecond) <= 0.001) return true;
    }
}

std::string whyNoContainer(const std::string& extension) {
    return extension.empty() ? "the name has no extension to choose a container by"
                             : "no known container for the extension " + extension;
}

}  // namespace

bool VideoOutput::rateCanBeStored(double framesPerSecond, std::string* whyNot) const {
    const std::string rate = "the frame rate " + describeRate(framesPerSecond);
    const std::string& container = extension_;
    if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0.0) {
        *whyNot = rate + " is not a finite number above zero";
    } else if (framesPerSecond < codec_.lowestRate) {
        *whyNot = rate + " is below what " + container + " can store (at least " +
                  describeRate(codec_.lowestRate) + ")";
    } else if (framesPerSecond > codec_.highestRate) {
        *whyNot = rate + " is above what " + container + " can store (at most " +
                  describeRate(codec_.highestRate) + ")";
    } else if (!encoderCanBeGiven(framesPerSecond)) {
        *whyNot = rate + " cannot be given to the " + codec_.codecName +
                  " encoder: counted in the tenths, hundredths or thousandths it needs, it comes "
                  "to more than 2147483647";
    } else {
        return true;
    }
    return false;
}

bool VideoOutput::frameSizeFits(cv::Size imageSize, std::string* whyNot) {
    // FFmpeg's writer keeps frames as 4:2:0, which has only even widths and heights.
    contentsWritten_.frameSize = cv::Size(imageSize.width & ~1, imageSize.height & ~1);
    const std::string size = "the frame size " + std::to_string(imageSize.width) + "x" +
                             std::to_string(imageSize.height);
    if (contentsWritten_.frameSize.width < codec_.narrowestWidth ||
        contentsWritten_.frameSize.height <= 0) {
        *whyNot = size + " is too small for " + codec_.codecName + " (at least " +
                  std::to_string(codec_.narrowestWidth) + "x2)";
    } else if (contentsWritten_.frameSize.width > codec_.widestWidth ||
               contentsWritten_.frameSize.height > codec_.tallestHeight) {
        *whyNot = size + " is too large for " + codec_.codecName + " (at most " +
                  std::to_string(codec_.widestWidth) + " wide and " +
                  std::to_string(codec_.tallestHeight) + " high)";
    } else {
        return true;
    }
    return false;
}

bool VideoOutput::openWriter(std::string* whyNot) {
    keepBackEndLogOffStderr();
    BackEndStderrCapture backEndMessages;
    errno = 0;
    copiesJpegFrames_ = false;
    for (int fourcc : codec_.fourccs) {
        if (openCopyingWriter(fourcc)) return true;
        try {
            if (writer_.open(file_.writerPath(), kWriterBackEnd, fourcc,
                             contentsWritten_.framesPerSecond, contentsWritten_.frameSize, true)) {
                return true;
            }
        } catch (const cv::Exception&) {
            // A back end that throws has refused like one that returns false.
        }
    }
    // Encoders short of memory say so on stderr, or fail to start their threads quietly.
    const bool outOfMemory = errno == ENOMEM || backEndMessages.contains("alloc");
    *whyNot = outOfMemory
                  ? std::string("there is not enough memory to start the ") + codec_.codecName +
                        " encoder"
                  : std::string("no ") + codec_.codecName + " encoder could be opened for it";
    return false;
}

// Videos that take encoded frames: OpenCV 4.10 and later.
#ifdef SEQCAT_COPIES_JPEG_FRAMES

namespace {

// How a frame that cannot be copied into a Motion JPEG video that copies the others is encoded:
// at a quality above what FFmpeg's encoder gives seqcat's other Motion JPEG videos (PSNR
// against the images, on drawings and on noisy camera-like footage alike). Colour at full
// resolution: sharp coloured edges lose most at half resolution.
const std::vector<int> kEncodedFrameParameters = {
    cv::IMWRITE_JPEG_QUALITY, 95,
    cv::IMWRITE_JPEG_SAMPLING_FACTOR, cv::IMWRITE_JPEG_SAMPLING_FACTOR_444};

}  // namespace

// A Motion JPEG writer that takes encoded frames as they are, where the video library has one;
// any other writer is opened as usual.
bool VideoOutput::openCopyingWriter(int fourcc) {
    if (fourcc != cv::VideoWriter::fourcc('M', 'J', 'P', 'G')) return false;
    try {
        copiesJpegFrames_ =
            writer_.open(file_.writerPath(), kWriterBackEnd, fourcc,
                         contentsWritten_.framesPerSecond, contentsWritten_.frameSize,
                         {cv::VIDEOWRITER_PROP_RAW_VIDEO, 1});
    } catch (const cv::Exception&) {
        copiesJpegFrames_ = false;  // then the frames are encoded by the writer, as elsewhere
    }
    return copiesJpegFrames_;
}

void encodeVideoFrame(const cv::Mat& image, cv::Size frameSize, cv::Mat* letterboxed,
                      std::vector<std::uint8_t>* encoded) {
    cv::imencode(".jpg", fitIntoFrame(image, frameSize, letterboxed), *encoded,
                 kEncodedFrameParameters);
}

// A frame of a video that copies JPEG files: the file, or the image encoded as one.
void VideoOutput::writeEncoded(const VideoFrame& frame) {
    const std::vector<std::uint8_t>* jpeg = &frame.jpeg;
    if (jpeg->empty()) {
        encodeVideoFrame(frame.image, contentsWritten_.frameSize, &letterboxed_, &encodedFrame_);
        jpeg = &encodedFrame_;
    }
    // One row of bytes is how the writer takes an encoded frame.
    writer_.write(cv::Mat(1, static_cast<int>(jpeg->size()), CV_8UC1,
                          const_cast<std::uint8_t*>(jpeg->data())));
}

#else

bool VideoOutput::openCopyingWriter(int) { return false; }
// Not reached: no copying writer opens, so nothing is encoded for one.
void VideoOutput::writeEncoded(const VideoFrame&) {}
void encodeVideoFrame(const cv::Mat&, cv::Size, cv::Mat*, std::vector<std::uint8_t>* encoded) {
    encoded->clear();
}

#endif

bool VideoOutput::open(const std::string& outputName, double framesPerSecond, cv::Size imageSize,
                       std::string* whyNot) {
    // The name as given, not the file a link leads to: it chooses codec and container alike.
    extension_ = fileExtensionOf(outputName);
    if (!chooseVideoCodec(outputName, &codec_)) {
        *whyNot = whyNoContainer(extension_);
        return false;
    }
    if (!rateCanBeStored(framesPerSecond, whyNot) || !frameSizeFits(imageSize, whyNot) ||
        !file_.create(outputName, extension_, whyNot)) {
        return false;
    }
    contentsWritten_.framesPerSecond = framesPerSecond;
    contentsWritten_.frames = 0;
    failure_.clear();
    finished_ = false;
    if (openWriter(whyNot)) return true;
    file_.discard();
    return false;
}

// The image scaled to fit inside the video's size with its aspect ratio kept, centred on black.
const cv::Mat& fitIntoFrame(const cv::Mat& image, cv::Size frame, cv::Mat* letterboxed) {
    if (image.size() == frame) return image;
    const double scale = std::min(static_cast<double>(frame.width) / image.cols,
                                  static_cast<double>(frame.height) / image.rows);
    const cv::Size scaledSize(
        std::clamp(static_cast<int>(std::lround(image.cols * scale)), 1, frame.width),
        std::clamp(static_cast<int>(std::lround(image.rows * scale)), 1, frame.height));
    letterboxed->create(frame, image.type());
    letterboxed->setTo(cv::Scalar::all(0));
    cv::Mat placed = (*letterboxed)(cv::Rect((frame.width - scaledSize.width) / 2,
                                             (frame.height - scaledSize.height) / 2,
                                             scaledSize.width, scaledSize.height));
    cv::resize(image, placed, scaledSize, 0, 0, cv::INTER_AREA);
    return *letterboxed;
}

bool VideoOutput::write(const VideoFrame& frame, std::string* whyNot) {
    // An encoder short of memory complains on every frame, in its log, which is kept off
    // stderr; the read-back says what it cost.
    if (copiesJpegFrames_) {
        writeEncoded(frame);
    } else {
        writer_.write(fitIntoFrame(frame.image, contentsWritten_.frameSize, &letterboxed_));
    }
    ++contentsWritten_.frames;
    if (file_.hasRoomLeft(&failure_)) return true;
    *whyNot = failure_;
    return false;
}

bool VideoOutput::rateIsApproximated(std::string* howStored) const {
    if (!codec_.timesInMilliseconds) return false;
    const double spacing = 1000.0 / contentsWritten_.framesPerSecond;
    const double shorter = std::floor(spacing);
    if (spacing - shorter <= 1e-9 * spacing) return false;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s stores frame times in whole milliseconds: at %g fps its frames are %g or "
                  "%g ms apart, %g fps on average",
                  extension_.c_str(), contentsWritten_.framesPerSecond, shorter, shorter + 1.0,
                  contentsWritten_.framesPerSecond);
    *howStored = text;
    return true;
}

// The copy is read back before it replaces the video, and the video after; where the copy cannot
// be made, the video stays as it was written.
void VideoOutput::describeColours() {
    ColourDescribedCopy copy(file_.writerPath());
    std::string* why = &whyColoursUndescribed_;
    if (copy.make(extension_, why) && file_.takeContentsOf(copy.path(), why)) {
        colourDescriptionReadsBack(file_.writerPath(), why);
    }
}

// Each step only once the ones before it succeeded.
VideoFinish VideoOutput::completeFile(std::string* whyNot) {
    // The encoder's last bytes and the container's index are written only at release.
    if (!file_.hasRoomLeft(whyNot)) return VideoFinish::kNotSaved;
    whyColoursUndescribed_.clear();
    if (contentsWritten_.frames > 0 && containerTakesColourDescription(extension_)) {
        describeColours();
    }
    if (!file_.flushToDisk(whyNot)) return VideoFinish::kNotSaved;
    // Some containers cannot even be opened without a frame, so a video with none is not read
    // back: with nothing to prove, it only takes a name where no file stands.
    if (contentsWritten_.frames > 0) {
        const VideoContents readBack = readVideoContents(file_.writerPath(), codec_);
        if (!readBack.readable) {
            contentsMatch(readBack, contentsWritten_, whyNot);
            return VideoFinish::kNotSaved;
        }
        if (!contentsMatch(readBack, contentsWritten_, whyNot)) return VideoFinish::kNotAsWritten;
    } else if (file_.wouldReplaceAFile()) {
        *whyNot = "the video holds no frame, and does not replace the existing file";
        return VideoFinish::kNotSaved;
    }
    if (keepExistingFile_ && file_.wouldReplaceAFile()) {
        return file_.keepBeside(&keptPath_, whyNot) ? VideoFinish::kKeptBeside
                                                    : VideoFinish::kNotSaved;
    }
    if (!file_.putInPlace(whyNot)) return VideoFinish::kNotSaved;
    return whyColoursUndescribed_.empty() ? VideoFinish::kInPlace
                                          : VideoFinish::kInPlaceWithoutColourDescription;
}

VideoFinish VideoOutput::finish(std::string* whyNot) {
    if (!finished_) {
        finished_ = true;
        writer_.release();  // the encoder's last words go to its log, kept off stderr
        // A write that failed during the run has said why already.
        outcome_ = failure_.empty() ? completeFile(&failure_) : VideoFinish::kNotSaved;
        if (outcome_ == VideoFinish::kInPlaceWithoutColourDescription) {
            failure_ = whyColoursUndescribed_;
        } else if (outcome_ != VideoFinish::kInPlace) {
            file_.discard();
        }
    }
    *whyNot = failure_;
    return outcome_;
}
