// The writer stage: appends the frames to the video on a thread of its own, so that a frame is
// encoded while the main thread shows it and polls the key.
#pragma once

#include "bounded_queue.h"
#include "output/video_output.h"

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <thread>

// One frame at a time: the caller hands one over and waits for its write before it hands the
// next, so the video holds exactly the frames the caller saw written. While the writer runs it
// alone touches the video; once stop() returns, the video is the caller's again.
//
// A stop signal is handled by the main thread at its next frame. When the main thread is stuck
// elsewhere instead (in the window toolkit, whose display server stopped answering), the video
// would never be finished: if the main thread has not come back a second after the signal, the
// writer runs `finishForTheStuckMainThread` on its own thread, and ends.
class FrameWriter {
public:
    FrameWriter(VideoOutput* video, std::function<void()> finishForTheStuckMainThread)
        : video_(video), finishForTheStuckMainThread_(std::move(finishForTheStuckMainThread)) {}
    ~FrameWriter() { stop(); }
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // Without a thread (the system has none left) hand() writes the frame itself.
    void start();

    void hand(VideoFrame frame);
    // True when awaitWritten() would not wait.
    bool writeIsOver() { return outcomes_.readyToPop(); }
    // Waits for the write of the frame handed last; false, with why, when the video stopped
    // taking frames. An error the video library raised in the write is raised here.
    bool awaitWritten(std::string* whyNot);

    // Ends the writer's thread. Waits for good where the writer is finishing the run itself.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    struct WriteOutcome {
        bool written = false;
        std::string whyNot;
        std::exception_ptr error;  // raised by the video library: the main thread reports it
    };

    WriteOutcome write(const VideoFrame& frame);
    void writeFrames();
    bool mainThreadIsStuck(Clock::time_point idleSince);

    VideoOutput* video_;
    std::function<void()> finishForTheStuckMainThread_;
    BoundedQueue<VideoFrame> handed_{1};
    BoundedQueue<WriteOutcome> outcomes_{1};
    Clock::time_point stopNoticed_{};
    std::thread thread_;
};
