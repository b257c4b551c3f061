// Qt ends the whole process with exit(1) from inside a window call when its connection to the
// display breaks (the X server ended, the window was killed from outside). exit() still runs
// what was registered with atexit, so what must not be lost is finished there.
#pragma once

#include <functional>

// While it lives, runs `onExit` if the process exits meanwhile. Guards alive at exit run
// newest first, as destructors would have.
class ExitGuard {
public:
    explicit ExitGuard(std::function<void()> onExit);
    ~ExitGuard();
    ExitGuard(const ExitGuard&) = delete;
    ExitGuard& operator=(const ExitGuard&) = delete;

private:
    std::function<void()> onExit_;
};
