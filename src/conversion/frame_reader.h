// The reader stage: a pool of workers that load the images of the sequence ahead of the frame
// loop, each on a thread of its own, so that several images are decoded while the current one
// is written and shown.
#pragma once

#include "bounded_queue.h"
#include "frames/image_loading.h"
#include "settings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// One image of the sequence as the reader hands it on.
struct SequenceImage {
    std::int64_t index = 0;
    std::string path;  // empty where the name would pass the path limit
    // Not loaded (outcome other than kLoaded) where the worker could not load it, or left it to
    // the frame loop: anything but a regular file (a FIFO named like an image) could block a
    // worker's read for good, so it is loaded on the loop's thread, where a stop signal cuts such
    // a read short.
    LoadedImage loaded;
};

// Worker w loads the images at positions w, w + n, w + 2n... of the n workers, each into a
// queue of its own, and next() takes from the queues in turn: so images leave in index order
// however fast each decodes, and the workers hold as many images as there are workers (two for
// one alone) whatever the sequence's length. A worker never blocks for long, so stopping the
// reader always ends its threads.
class FrameReader {
public:
    explicit FrameReader(const ConversionSettings& settings) : settings_(settings) {}
    ~FrameReader() { stop(); }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Starts the workers, loading each image as the plan says. Where the video takes encoded
    // frames of a size (not empty), a worker also encodes each image it does not copy, so the
    // one writer only appends. With fewer threads than asked for, as many as the system gives;
    // with none, next() loads each image itself.
    void start(const FrameCopyPlan& plan, cv::Size encodedFrameSize, int workers);

    // The image of the next index, in order; nothing after the last index.
    std::optional<SequenceImage> next();

    // True when next() would not wait for a worker.
    bool nextIsReady();

    void stop();

private:
    using ImageQueue = BoundedQueue<SequenceImage>;

    bool startWorkers(int workers);
    void loadEveryNth(std::int64_t firstPosition, std::int64_t step, ImageQueue* loaded);
    LoadedImage loadAhead(const std::string& path) const;
    SequenceImage imageAt(std::int64_t position) const;
    SequenceImage loadHere(std::int64_t position) const;
    ImageQueue& queueOf(std::int64_t position);

    const ConversionSettings& settings_;
    // Set before the workers start, read only after.
    FrameCopyPlan plan_;
    cv::Size encodedFrameSize_;
    std::int64_t nextPosition_ = 0;
    std::vector<std::unique_ptr<ImageQueue>> loadedByWorker_;
    std::vector<std::thread> workers_;
};

// How many workers to load images with: one for each core the process may run on, less the
// one the window needs when frames are shown; at least one.
int frameWorkersFor(bool framesShown);
