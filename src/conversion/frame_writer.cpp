#include "frame_writer.h"

#include "platform/stop_signals.h"

#include <algorithm>
#include <optional>
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

FrameWriter::WriteOutcome FrameWriter::write(const VideoFrame& frame) {
    WriteOutcome outcome;
    try {
        outcome.written = video_->write(frame, &outcome.whyNot);
    } catch (...) {
        outcome.error = std::current_exception();
    }
    return outcome;
}

void FrameWriter::hand(VideoFrame frame) {
    if (thread_.joinable()) {
        handed_.push(std::move(frame));
    } else {
        outcomes_.push(write(frame));
    }
}

bool FrameWriter::awaitWritten(std::string* whyNot) {
    std::optional<WriteOutcome> outcome = outcomes_.pop();
    if (!outcome) return false;  // closed: the writer was stopped
    if (outcome->error) std::rethrow_exception(outcome->error);
    *whyNot = outcome->whyNot;
    return outcome->written;
}

void FrameWriter::stop() {
    handed_.close();
    if (thread_.joinable()) thread_.join();
    outcomes_.close();
}

bool FrameWriter::mainThreadIsStuck(Clock::time_point idleSince) {
    if (!stopRequested()) return false;
    const Clock::time_point now = Clock::now();
    if (stopNoticed_ == Clock::time_point{}) stopNoticed_ = now;
    return now - std::max(idleSince, stopNoticed_) >= kMainThreadGrace;
}

void FrameWriter::writeFrames() {
    Clock::time_point idleSince = Clock::now();
    for (;;) {
        if (std::optional<VideoFrame> frame = handed_.popFor(kStopCheckInterval)) {
            outcomes_.push(write(*frame));
            idleSince = Clock::now();
        } else if (handed_.isClosed()) {
            return;  // by stop(), once every frame handed was written
        } else if (mainThreadIsStuck(idleSince)) {
            finishForTheStuckMainThread_();
            return;
        }
    }
}
