// Appends the frames to the video on a thread of its own, so that a frame is encoded while the
// main thread shows it and polls the key.
#pragma once

#include "output/video_output.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// One frame at a time: the caller hands one over and waits for its write before it hands the
// next, so the video holds exactly the frames the caller saw written. While the writer runs it
// alone touches the video; once stop() returns, the video is the caller's again.
//
// A stop signal is handled by the main thread at its next frame. When the main thread is stuck
// elsewhere instead (in the window toolkit, whose display server stopped answering), the video
// would never be finished: if the main thread has not come back a second after the signal, the
// writer runs `finishAndEnd` on its own thread, which must end the process.
class FrameWriter {
public:
    FrameWriter(VideoOutput* video, std::function<void()> finishAndEnd)
        : video_(video), finishAndEnd_(std::move(finishAndEnd)) {}
    ~FrameWriter() { stop(); }
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // Without a thread (the system has none left) hand() writes the frame itself.
    void start();

    void hand(VideoFrame frame);
    // Waits for the write of the frame handed last; false, with why, when the video stopped
    // taking frames. An error the video library raised in the write is raised here.
    bool awaitWritten(std::string* whyNot);

    // Ends the writer's thread. Does not return when the writer has taken over the end of the
    // run: the process ends on the writer's side.
    void stop();

private:
    using Clock = std::chrono::steady_clock;

    void writeFrames();
    bool mainThreadIsStuck(Clock::time_point idleSince);
    void waitForTheEnd(std::unique_lock<std::mutex>& lock);

    VideoOutput* video_;
    std::function<void()> finishAndEnd_;
    std::mutex lock_;
    std::condition_variable changed_;
    VideoFrame handed_;        // the frame to write next, while not taken yet
    bool frameHanded_ = false;
    bool writeDone_ = false;   // the handed frame's write is over
    bool written_ = false;     // and it succeeded
    std::string whyNotWritten_;
    std::exception_ptr writeError_;
    bool toStop_ = false;
    bool tookOver_ = false;
    Clock::time_point stopNoticed_{};
    std::thread thread_;
};
