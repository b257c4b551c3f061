#include "frame_reader.h"

#include <system_error>
#include <utility>
#include <sys/stat.h>

namespace {

// With the frame in hand, at most three images are held: enough to keep the reader busy while
// a frame is written, and no more memory than that whatever the sequence's length.
constexpr std::size_t kMostImagesAhead = 2;

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

void FrameReader::start(const FrameCopyPlan& plan) {
    plan_ = plan;
    try {
        thread_ = std::thread(&FrameReader::readAhead, this);
    } catch (const std::system_error&) {
        // No thread: take() loads each image itself.
    }
}

void FrameReader::readAhead() {
    for (std::int64_t index = settings_.firstIndex; index <= settings_.lastIndex; ++index) {
        {
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait(lock, [this] { return toStop_ || ready_.size() < kMostImagesAhead; });
            if (toStop_) return;
        }
        ReadAhead image;
        try {
            const std::string path = formatImagePath(settings_, static_cast<std::int32_t>(index));
            image.leftToCaller = !isRegularFile(path);
            if (!image.leftToCaller) image.loaded = loadFrameImage(path, plan_);
        } catch (...) {
            // Loaded again in its turn, where an error the library raises is reported.
            image = ReadAhead{true, LoadedImage{}};
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            ready_.push_back(std::move(image));
        }
        changed_.notify_all();
    }
}

LoadedImage FrameReader::take(const std::string& path) {
    if (!thread_.joinable()) return loadFrameImage(path, plan_);
    ReadAhead image;
    {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait(lock, [this] { return !ready_.empty(); });
        image = std::move(ready_.front());
        ready_.pop_front();
    }
    changed_.notify_all();
    if (image.leftToCaller || image.loaded.outcome != ImageLoad::loaded) {
        return loadFrameImage(path, plan_);
    }
    return std::move(image.loaded);
}

void FrameReader::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(lock_);
        toStop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}
