#include "frame_reader.h"

#include "output/video_output.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <sched.h>
#include <sys/stat.h>

namespace {

// Past this, the one writer, not the decoding, holds the run back; each worker holds a frame
// or two.
constexpr int kMostFrameWorkers = 16;

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

int usableCores() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
    return CPU_COUNT(&cores);
}

}  // namespace

int frameWorkersFor(bool framesShown) {
    const int workers = usableCores() - (framesShown ? 1 : 0);
    return std::clamp(workers, 1, kMostFrameWorkers);
}

void FrameReader::start(const FrameCopyPlan& plan, cv::Size encodedFrameSize, int workers) {
    plan_ = plan;
    encodedFrameSize_ = encodedFrameSize;
    // A worker that cannot be started leaves its share of the positions to none: start again
    // with as many as could be.
    while (workers > 0 && !startWorkers(workers)) {
        workers = static_cast<int>(workers_.size());
        stop();
    }
}

bool FrameReader::startWorkers(int workers) {
    // A worker loads an image only where its queue has room for it. One alone keeps two images
    // ahead, as a frame is written; more hold one each.
    const std::size_t imagesAheadEach = workers == 1 ? 2 : 1;
    loadedByWorker_.clear();
    for (int worker = 0; worker < workers; ++worker) {
        loadedByWorker_.push_back(std::make_unique<ImageQueue>(imagesAheadEach));
    }
    for (int worker = 0; worker < workers; ++worker) {
        try {
            workers_.emplace_back(&FrameReader::loadEveryNth, this, worker, workers,
                                  loadedByWorker_[worker].get());
        } catch (const std::system_error&) {
            return false;
        }
    }
    return true;
}

SequenceImage FrameReader::imageAt(std::int64_t position) const {
    SequenceImage image;
    image.index = settings_.firstIndex + position;
    image.path = formatImagePath(settings_, static_cast<std::int32_t>(image.index));
    return image;
}

// What a worker hands on for an image: loaded, and encoded where the video takes encoded
// frames, where it is a regular file; else left to the loop.
LoadedImage FrameReader::loadAhead(const std::string& path) const {
    try {
        if (!isRegularFile(path)) return LoadedImage{};
        LoadedImage loaded = loadFrameImage(path, plan_);
        if (!encodedFrameSize_.empty() && loaded.outcome == ImageLoad::kLoaded &&
            loaded.jpeg.empty()) {
            cv::Mat letterboxed;
            encodeVideoFrame(loaded.image, encodedFrameSize_, &letterboxed, &loaded.jpeg);
            if (!plan_.decodeInFull) loaded.image.release();  // nothing shows it
        }
        return loaded;
    } catch (...) {
        // Loaded again in its turn, where an error the library raises is reported.
    }
    return LoadedImage{};
}

void FrameReader::loadEveryNth(std::int64_t firstPosition, std::int64_t step,
                               ImageQueue* loaded) {
    try {
        for (std::int64_t position = firstPosition; position < imagesInRange(settings_);
             position += step) {
            if (!loaded->waitForRoom()) return;
            SequenceImage image = imageAt(position);
            image.loaded = loadAhead(image.path);
            if (!loaded->push(std::move(image))) return;
        }
    } catch (...) {
        loaded->close();  // no memory left even for a name: the loop loads this share itself
    }
}

SequenceImage FrameReader::loadHere(std::int64_t position) const {
    SequenceImage image = imageAt(position);
    image.loaded = loadFrameImage(image.path, plan_);
    return image;
}

FrameReader::ImageQueue& FrameReader::queueOf(std::int64_t position) {
    return *loadedByWorker_[static_cast<std::size_t>(position) % workers_.size()];
}

std::optional<SequenceImage> FrameReader::next() {
    const std::int64_t position = nextPosition_;
    if (position >= imagesInRange(settings_)) return std::nullopt;
    ++nextPosition_;
    if (workers_.empty()) return loadHere(position);
    std::optional<SequenceImage> image = queueOf(position).pop();
    if (!image) return loadHere(position);
    return image;
}

bool FrameReader::nextIsReady() {
    if (workers_.empty() || nextPosition_ >= imagesInRange(settings_)) return true;
    return queueOf(nextPosition_).readyToPop();
}

void FrameReader::stop() {
    for (const std::unique_ptr<ImageQueue>& loaded : loadedByWorker_) loaded->close();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
}
