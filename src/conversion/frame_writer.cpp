#include "frame_writer.h"

#include "platform/stop_signals.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace {

// How long the main thread may stay away from the writer after a stop signal before it counts
// as stuck. It comes back within one frame otherwise: a blocking call of its own is cut short.
constexpr std::chrono::milliseconds kMainThreadGrace(1000);
// How often an idle writer looks for a stop signal.
constexpr std::chrono::milliseconds kStopCheckInterval(50);

}  // namespace

void FrameWriter::start() {
    try {
        thread_ = std::thread(&FrameWriter::writeFrames, this);
    } catch (const std::system_error&) {
        // No thread: hand() writes each frame itself.
    }
}

void FrameWriter::hand(VideoFrame frame) {
    std::unique_lock<std::mutex> lock(lock_);
    if (tookOver_) waitForTheEnd(lock);
    writeDone_ = false;
    if (!thread_.joinable()) {
        written_ = video_->write(frame, &whyNotWritten_);
        writeDone_ = true;
        return;
    }
    handed_ = std::move(frame);
    frameHanded_ = true;
    changed_.notify_all();
}

bool FrameWriter::awaitWritten(std::string* whyNot) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] { return writeDone_ || tookOver_; });
    if (tookOver_) waitForTheEnd(lock);
    if (writeError_) std::rethrow_exception(std::exchange(writeError_, nullptr));
    *whyNot = whyNotWritten_;
    return written_;
}

void FrameWriter::stop() {
    if (!thread_.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(lock_);
        if (tookOver_) waitForTheEnd(lock);
        toStop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

// The writer finishes the video and ends the process; nothing is left for this thread to do.
void FrameWriter::waitForTheEnd(std::unique_lock<std::mutex>& lock) {
    for (;;) changed_.wait(lock);
}

bool FrameWriter::mainThreadIsStuck(Clock::time_point idleSince) {
    if (!stopRequested()) return false;
    const Clock::time_point now = Clock::now();
    if (stopNoticed_ == Clock::time_point{}) stopNoticed_ = now;
    return now - std::max(idleSince, stopNoticed_) >= kMainThreadGrace;
}

void FrameWriter::writeFrames() {
    std::unique_lock<std::mutex> lock(lock_);
    Clock::time_point idleSince = Clock::now();
    for (;;) {
        changed_.wait_for(lock, kStopCheckInterval, [this] { return toStop_ || frameHanded_; });
        if (toStop_) return;
        if (frameHanded_) {
            const VideoFrame frame = std::exchange(handed_, VideoFrame{});
            frameHanded_ = false;
            lock.unlock();
            std::string whyNot;
            bool written = false;
            std::exception_ptr error;
            try {
                written = video_->write(frame, &whyNot);
            } catch (...) {
                error = std::current_exception();  // the main thread reports it
            }
            lock.lock();
            written_ = written;
            whyNotWritten_ = std::move(whyNot);
            writeError_ = error;
            writeDone_ = true;
            changed_.notify_all();
            idleSince = Clock::now();
        } else if (mainThreadIsStuck(idleSince)) {
            tookOver_ = true;
            changed_.notify_all();
            lock.unlock();
            finishAndEnd_();
            return;  // not reached: finishAndEnd ends the process
        }
    }
}
