// The window "seqcat" that shows each frame as it is written.
#pragma once

#include "exit_guard.h"

#include <opencv2/core.hpp>

#include <functional>
#include <optional>

struct xcb_connection_t;

// True when the windowing system the window toolkit will use can be reached. Qt ends the
// whole process when it cannot reach one, so this is asked before any window is made.
bool displayIsReachable();

// Owns the window: created on request, destroyed with the object. The window's display is
// watched on a connection of our own: once it is lost, the toolkit is never called again
// (Qt would end the process at its next event), and the run goes on as without a display.
class FrameWindow {
public:
    FrameWindow() = default;
    ~FrameWindow();
    FrameWindow(const FrameWindow&) = delete;
    FrameWindow& operator=(const FrameWindow&) = delete;

    // The toolkit may still end the process from inside one of its calls when the display goes
    // away before the watch sees it: then finishOnToolkitExit is run on the way out.
    void open(std::function<void()> finishOnToolkitExit);
    // True from open() until close(), unless a show or poll found the display lost or the
    // window closed by the user.
    bool isOpen() const { return state_ == State::kOpen; }
    void show(const cv::Mat& frame);
    // Waits up to `milliseconds` for a key in the window (which is also when it repaints) and
    // returns its code, or -1 when none came.
    int pollKey(int milliseconds);
    void close();

private:
    // Once the display is lost, or the window closed by the user, it stays so.
    enum class State { kNotOpen, kOpen, kDisplayLost, kClosedByTheUser };

    bool stillOpen();
    void sizeToFit(cv::Size frameSize);
    bool closedByTheUser();

    State state_ = State::kNotOpen;
    bool sized_ = false;
    bool seenShown_ = false;
    xcb_connection_t* displayWatch_ = nullptr;
    std::optional<ExitGuard> toolkitExitGuard_;
};
