// The terminal mode of the wait for ESC at the console at the end of a run, and the wait.
#pragma once

#include "exit_guard.h"

#include <csignal>
#include <functional>
#include <optional>
#include <termios.h>

// Puts a terminal on standard input into key-at-a-time mode without echo for its lifetime,
// and gives the terminal's own settings back afterwards. Does nothing when standard input is
// not a terminal. Set up before the prompt is printed, so no key typed after the prompt is
// thrown away by the mode change. Ctrl-Z meanwhile gives the terminal its own settings back
// before the process stops, and takes key-at-a-time mode up again when it goes on.
class ConsoleKeyMode {
public:
    ConsoleKeyMode();
    ~ConsoleKeyMode();
    ConsoleKeyMode(const ConsoleKeyMode&) = delete;
    ConsoleKeyMode& operator=(const ConsoleKeyMode&) = delete;

    // Returns once ESC is read, input ends or fails, or a stop signal arrives. Other keys are
    // read and ignored, and so are the escape sequences of arrow and function keys.
    // whileWaiting, when given, is called every few tens of milliseconds meanwhile; the wait
    // ends when it returns true. In a background process group it returns at once: the
    // terminal would stop the process at a read, and a key can never come.
    void waitForEscape(const std::function<bool()>& whileWaiting = nullptr);

    // Shows the prompt on the terminal the keys are read from too, when standard output is not
    // that terminal (a log, a pipe), so that the user sees what the wait is for.
    void showPromptOnTheTerminal(const char* prompt) const;

private:
    void restoreTerminal();

    bool isTerminal_ = false;
    bool inBackground_ = false;
    termios terminalSettings_{};
    struct sigaction suspendActionBefore_ {};
    std::optional<ExitGuard> restoreOnToolkitExit_;
};
