// Loads the images of the sequence ahead of the frame loop, on a thread of its own, so that the
// next image is decoded while the current one is written and shown.
#pragma once

#include "frames/image_loading.h"
#include "settings.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Reads in index order, at most two images ahead of the caller. Only regular files are read
// ahead: anything else (a FIFO named like an image) could block a read for good, so it is left
// to the caller's own thread, where a stop signal cuts such a read short. The reader therefore
// never blocks for long, and stopping it always ends its thread.
class FrameReader {
public:
    explicit FrameReader(const ConversionSettings& settings) : settings_(settings) {}
    ~FrameReader() { stop(); }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Starts reading ahead from the first index, loading each image as the plan says. Without
    // a thread (the system has none left) every image is loaded by take() itself, as it comes.
    void start(const FrameCopyPlan& plan);

    // The image of the next index, whose name is `path`: as read ahead, or loaded on the
    // caller's thread when it was not read ahead or could not be loaded there (a sequence still
    // being rendered is read as far as a load in its turn would).
    LoadedImage take(const std::string& path);

    void stop();

private:
    struct ReadAhead {
        bool leftToCaller = false;
        LoadedImage loaded;
    };

    void readAhead();

    const ConversionSettings& settings_;
    FrameCopyPlan plan_;  // set before the thread starts, read only after
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<ReadAhead> ready_;  // the images of the next indexes, in order
    bool toStop_ = false;
    std::thread thread_;
};
