#include "video_output.h"

#include "video_codec.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every container goes through FFmpeg, Motion JPEG too: OpenCV's own Motion JPEG writer
// encodes on one core here and is slower, stores the rate as a whole number (29.97 would
// become 30), and aborts the process when an .avi passes 4 GiB.
constexpr int kWriterBackEnd = cv::CAP_FFMPEG;

bool pathExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

std::string folderOf(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

// Why the file cannot be written where it is asked for, or "" when nothing is known against it.
std::string reasonFolderRefuses(const std::string& outputName) {
    const std::string folder = folderOf(outputName);
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0) return "the folder '" + folder + "' does not exist";
    if (!S_ISDIR(status.st_mode)) return "'" + folder + "' is not a folder";
    if (access(folder.c_str(), W_OK) != 0) return "the folder '" + folder + "' cannot be written";
    if (stat(outputName.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return "it is a folder";
    return "";
}

std::string describeRate(double framesPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", framesPerSecond);
    return text;
}

// OpenCV's FFmpeg wrapper prints its own complaints about codec tags straight to stderr while
// a writer opens (for WebM on every open, though the writer works); they are not the user's
// concern, so stderr is pointed at /dev/null for that moment.
class StderrSilenced {
public:
    StderrSilenced() : savedStderr_(dup(STDERR_FILENO)) {
        const int nullDevice = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nullDevice >= 0) {
            dup2(nullDevice, STDERR_FILENO);
            close(nullDevice);
        }
    }
    ~StderrSilenced() {
        if (savedStderr_ < 0) return;
        dup2(savedStderr_, STDERR_FILENO);
        close(savedStderr_);
    }
    StderrSilenced(const StderrSilenced&) = delete;
    StderrSilenced& operator=(const StderrSilenced&) = delete;

private:
    int savedStderr_;
};

}  // namespace

std::string VideoOutput::open(const std::string& outputName, double framesPerSecond,
                              cv::Size imageSize) {
    VideoCodecChoice codec;
    if (!chooseVideoCodec(outputName, &codec)) {
        const std::string extension = fileExtensionOf(outputName);
        if (extension.empty()) return "the name has no extension to choose a container by";
        return "no known container for the extension " + extension;
    }
    if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0.0) {
        return "the frame rate " + describeRate(framesPerSecond) +
               " is not a finite number above zero";
    }
    const std::string folderReason = reasonFolderRefuses(outputName);
    if (!folderReason.empty()) return folderReason;

    // FFmpeg's writer keeps frames as 4:2:0, which has only even widths and heights.
    frameSize_ = cv::Size(imageSize.width & ~1, imageSize.height & ~1);
    if (frameSize_.width <= 0 || frameSize_.height <= 0) {
        return "the frame size " + std::to_string(imageSize.width) + "x" +
               std::to_string(imageSize.height) + " is too small for " + codec.codecName;
    }

    const bool existedBefore = pathExists(outputName);
    StderrSilenced quietBackEnd;
    for (int fourcc : codec.fourccs) {
        try {
            if (writer_.open(outputName, kWriterBackEnd, fourcc, framesPerSecond, frameSize_,
                             true)) {
                return "";
            }
        } catch (const cv::Exception&) {
            // A back end that throws has refused like one that returns false.
        }
    }
    // Encoders may have left an empty file behind; never one the user had.
    if (!existedBefore && pathExists(outputName)) std::remove(outputName.c_str());
    return std::string("no ") + codec.codecName + " encoder could be opened for it";
}

void VideoOutput::write(const cv::Mat& frame) {
    if (frame.size() == frameSize_) {
        writer_.write(frame);
        return;
    }
    cv::resize(frame, scaledFrame_, frameSize_, 0, 0, cv::INTER_AREA);
    writer_.write(scaledFrame_);
}

void VideoOutput::finish() {
    writer_.release();
}
