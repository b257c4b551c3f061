#include "console_wait.h"

#include "stop_signals.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char kEscape = 27;

// A terminal sends an arrow or function key as ESC followed at once by '[' or 'O'; a lone ESC
// is the key itself.
bool isLoneEscape(const char* bytes, ssize_t count, ssize_t at, bool fromTerminal) {
    if (!fromTerminal || at + 1 >= count) return true;
    return bytes[at + 1] != '[' && bytes[at + 1] != 'O';
}

// How often the window gets to repaint while the console is waited on.
constexpr timespec kRepaintInterval{0, 30 * 1000 * 1000};

// Blocks until input is readable or a stop signal arrives, calling whileWaiting (if any)
// every repaint interval. Stop signals stay blocked except inside ppoll, so one that comes
// just before the wait cannot be missed.
bool waitForInput(const sigset_t& waitMask, const std::function<void()>& whileWaiting) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const timespec* timeout = whileWaiting ? &kRepaintInterval : nullptr;
    while (!stopRequested()) {
        const int ready = ppoll(&input, 1, timeout, &waitMask);
        if (ready > 0) return true;
        if (ready == 0) {
            whileWaiting();
        } else if (errno != EINTR) {
            return false;
        }
    }
    return false;
}

}  // namespace

ConsoleKeyMode::ConsoleKeyMode() {
    if (tcgetattr(STDIN_FILENO, &terminalSettings_) != 0) return;
    termios keyAtATime = terminalSettings_;
    keyAtATime.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyAtATime.c_cc[VMIN] = 1;
    keyAtATime.c_cc[VTIME] = 0;
    // Flush keys typed during the run: only a key pressed at the prompt ends the wait.
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &keyAtATime) != 0) return;
    isTerminal_ = true;
}

ConsoleKeyMode::~ConsoleKeyMode() {
    if (isTerminal_) tcsetattr(STDIN_FILENO, TCSANOW, &terminalSettings_);
}

void ConsoleKeyMode::waitForEscape(const std::function<void()>& whileWaiting) {
    const sigset_t waitMask = maskWithStopSignalsUnblocked();
    bool escapeRead = false;
    while (!escapeRead && waitForInput(waitMask, whileWaiting)) {
        char bytes[64];
        const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;  // end of input, or nothing more can be read
        for (ssize_t at = 0; at < count && !escapeRead; ++at) {
            escapeRead = bytes[at] == kEscape && isLoneEscape(bytes, count, at, isTerminal_);
        }
    }
}
