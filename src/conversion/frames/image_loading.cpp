#include "image_loading.h"

#include "decoder_complaints.h"
#include "jpeg_frame.h"

#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kNoMemory[] = "there is not enough memory to load it";

LoadedImage notLoaded(ImageLoad outcome, std::string whyNot) {
    LoadedImage result;
    result.outcome = outcome;
    result.whyNot = std::move(whyNot);
    return result;
}

// Why a file the decoder gave nothing for cannot be an image, found by opening it again (as the
// decoder did): a shortage of descriptors shows here as it did there. Non-blocking, so a FIFO
// with no writer left does not stop the run.
LoadedImage whyNoImage(const std::string& path, const std::string& complaint) {
    const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        const int openError = errno;
        if (openError == EMFILE || openError == ENFILE) {
            return notLoaded(ImageLoad::kOutOfResources,
                             "no file descriptor is left to open it (ulimit -n)");
        }
        if (openError == ENOMEM) return notLoaded(ImageLoad::kOutOfResources, kNoMemory);
        if (openError == ENOENT) return notLoaded(ImageLoad::kUnavailable, "there is no such file");
        return notLoaded(ImageLoad::kUnavailable, std::strerror(openError));
    }
    struct stat status {};
    const bool statusKnown = fstat(file, &status) == 0;
    close(file);
    if (statusKnown && S_ISDIR(status.st_mode)) {
        return notLoaded(ImageLoad::kUnavailable, "it is a folder");
    }
    if (statusKnown && S_ISREG(status.st_mode) && status.st_size == 0) {
        return notLoaded(ImageLoad::kUnavailable, "the file is empty");
    }
    return notLoaded(ImageLoad::kUnavailable,
                     complaint.empty() ? "it is not an image in a format that can be decoded"
                                       : "it cannot be decoded: " + complaint);
}

// A regular file's bytes, or nothing: whatever stands in the way is left to the decoder's own
// loading, which tells why. Non-blocking, so that a FIFO is never waited on here.
std::vector<std::uint8_t> regularFileBytes(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return bytes;
    struct stat status {};
    if (fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        try {
            bytes.resize(static_cast<std::size_t>(status.st_size));
            std::size_t filled = 0;
            while (filled < bytes.size()) {
                const ssize_t got = read(file, bytes.data() + filled, bytes.size() - filled);
                if (got <= 0) break;  // cut short, or an error: read as the decoder reads it
                filled += static_cast<std::size_t>(got);
            }
            if (filled != bytes.size()) bytes.clear();
        } catch (const std::bad_alloc&) {
            bytes.clear();
        }
    }
    close(file);
    return bytes;
}

// The image of a JPEG that may be copied, decoded in full from the bytes that will be copied;
// empty when the decoder finds anything wrong with them.
cv::Mat checkedJpegImage(const std::vector<std::uint8_t>& bytes) {
    DecoderComplaints complaints;
    cv::Mat image;
    try {
        image = cv::imdecode(bytes, cv::IMREAD_COLOR);
    } catch (const std::exception&) {
        return cv::Mat();
    }
    return complaints.first().empty() ? image : cv::Mat();
}

}  // namespace

LoadedImage loadFrameImage(const std::string& path, const FrameCopyPlan& plan) {
    if (plan.jpegFrameSize.empty()) return loadColourImage(path);
    std::vector<std::uint8_t> bytes = regularFileBytes(path);
    CopyableJpeg jpeg;
    // Decoding from memory does not notice data that ends early (it waits for more, quietly),
    // so the file's end is always checked.
    if (!isCopyableJpeg(bytes, &jpeg) || cv::Size(jpeg.width, jpeg.height) != plan.jpegFrameSize ||
        !codedDataIsWhole(bytes, jpeg)) {
        return loadColourImage(path);
    }
    LoadedImage result;
    if (plan.decodeInFull) {
        result.image = checkedJpegImage(bytes);
        if (result.image.empty()) return loadColourImage(path);
    }
    // Anything amiss (damage, no memory) is found and said by the ordinary loading above, and
    // the frame is then encoded from what it decodes.
    result.outcome = ImageLoad::kLoaded;
    result.jpeg = std::move(bytes);
    return result;
}

LoadedImage loadColourImage(const std::string& path) {
    if (path.empty()) return notLoaded(ImageLoad::kUnavailable, "its name is too long");
    LoadedImage result;
    DecoderComplaints complaints;
    bool outOfMemory = false;
    errno = 0;
    try {
        result.image = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception& error) {
        // Raised where the image's memory is allocated; a decoder that throws on a damaged
        // file has not loaded it either.
        outOfMemory = error.code == cv::Error::StsNoMem;
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    }
    // A decoder that runs short of memory inside its own work gives up quietly; errno keeps
    // what its allocation said.
    if (outOfMemory || (result.image.empty() && errno == ENOMEM)) {
        return notLoaded(ImageLoad::kOutOfResources, kNoMemory);
    }
    if (result.image.empty()) return whyNoImage(path, complaints.first());
    result.outcome = ImageLoad::kLoaded;
    result.damage = complaints.first();
    return result;
}
