// The window "seqcat" that shows each frame as it is written.
#pragma once

#include <opencv2/core.hpp>

// True when the windowing system the window toolkit will use can be reached. Qt ends the
// whole process when it cannot reach one, so this is asked before any window is made.
bool displayIsReachable();

// Owns the window: created on request, destroyed with the object.
class FrameWindow {
public:
    FrameWindow() = default;
    ~FrameWindow();
    FrameWindow(const FrameWindow&) = delete;
    FrameWindow& operator=(const FrameWindow&) = delete;

    void open();
    bool isOpen() const { return isOpen_; }
    void show(const cv::Mat& frame);
    void close();

private:
    bool isOpen_ = false;
};

// Waits up to `milliseconds` for a key in the window (which is also when it repaints) and
// returns its code, or -1 when none came.
int pollWindowKey(int milliseconds);
