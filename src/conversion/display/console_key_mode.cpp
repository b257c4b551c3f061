#include "console_key_mode.h"

#include "escape_key.h"
#include "platform/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A terminal sends an arrow or function key as ESC followed at once by '[' or 'O'; a lone ESC
// is the key itself.
bool isLoneEscape(const char* bytes, ssize_t count, ssize_t at, bool fromTerminal) {
    if (!fromTerminal || at + 1 >= count) return true;
    return bytes[at + 1] != '[' && bytes[at + 1] != 'O';
}

// How often the window gets to repaint while the console is waited on.
constexpr int kRepaintMilliseconds = 30;

// Blocks until input is readable or a stop signal arrives, calling whileWaiting (if any)
// every repaint interval; false when whileWaiting says the wait is over.
bool waitForInput(const std::function<bool()>& whileWaiting) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int timeout = whileWaiting ? kRepaintMilliseconds : -1;
    while (!stopRequested()) {
        const int ready = poll(&input, 1, timeout);
        if (ready > 0) return true;
        if (ready == 0) {
            if (whileWaiting()) return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return false;
}

// What the suspend handler puts in place: the terminal's own settings before the process
// stops, the key-at-a-time mode once it goes on.
termios terminalOwnSettings;
termios keyAtATimeSettings;

// Ctrl-Z during the wait. A job-control shell does not give a continued program back the
// terminal mode it stopped in, so the handler stops the process itself, between the two.
extern "C" void suspendWithTerminalRestored(int) {
    const int savedErrno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &terminalOwnSettings);
    struct sigaction stopByDefault {};
    stopByDefault.sa_handler = SIG_DFL;
    struct sigaction thisHandler {};
    sigaction(SIGTSTP, &stopByDefault, &thisHandler);
    sigset_t suspendSignal;
    sigemptyset(&suspendSignal);
    sigaddset(&suspendSignal, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &suspendSignal, nullptr);
    raise(SIGTSTP);  // the process stops here until SIGCONT
    sigaction(SIGTSTP, &thisHandler, nullptr);
    tcsetattr(STDIN_FILENO, TCSANOW, &keyAtATimeSettings);
    errno = savedErrno;
}

// Installs the suspend handler, unless SIGTSTP was ignored by whoever started seqcat; returns
// the action to put back afterwards.
struct sigaction takeOverSuspend() {
    struct sigaction before {};
    sigaction(SIGTSTP, nullptr, &before);
    if (before.sa_handler == SIG_IGN) return before;
    struct sigaction suspend {};
    suspend.sa_handler = suspendWithTerminalRestored;
    suspend.sa_flags = SA_RESTART;
    sigemptyset(&suspend.sa_mask);
    sigaction(SIGTSTP, &suspend, nullptr);
    return before;
}

// The terminal stops a process of a background group that changes its mode (SIGTTOU) or
// reads it (SIGTTIN). A terminal that is not the controlling one has no foreground group.
bool inABackgroundProcessGroup() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground > 0 && foreground != getpgrp();
}

bool isTheSameTerminal(int descriptor, int otherDescriptor) {
    struct stat one {};
    struct stat other {};
    return fstat(descriptor, &one) == 0 && fstat(otherDescriptor, &other) == 0 &&
           S_ISCHR(one.st_mode) && one.st_rdev == other.st_rdev;
}

}  // namespace

ConsoleKeyMode::ConsoleKeyMode() {
    if (tcgetattr(STDIN_FILENO, &terminalSettings_) != 0) return;
    if (inABackgroundProcessGroup()) {
        inBackground_ = true;
        return;
    }
    termios keyAtATime = terminalSettings_;
    keyAtATime.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyAtATime.c_cc[VMIN] = 1;
    keyAtATime.c_cc[VTIME] = 0;
    // Flush keys typed during the run: only a key pressed at the prompt ends the wait.
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &keyAtATime) != 0) return;
    isTerminal_ = true;
    terminalOwnSettings = terminalSettings_;
    keyAtATimeSettings = keyAtATime;
    suspendActionBefore_ = takeOverSuspend();
    restoreOnToolkitExit_.emplace([this] { restoreTerminal(); });
}

ConsoleKeyMode::~ConsoleKeyMode() {
    if (isTerminal_) restoreTerminal();
}

void ConsoleKeyMode::restoreTerminal() {
    sigaction(SIGTSTP, &suspendActionBefore_, nullptr);
    tcsetattr(STDIN_FILENO, TCSANOW, &terminalSettings_);
}

void ConsoleKeyMode::showPromptOnTheTerminal(const char* prompt) const {
    if (!isTerminal_ || isTheSameTerminal(STDOUT_FILENO, STDIN_FILENO)) return;
    const char* terminalPath = ttyname(STDIN_FILENO);
    if (terminalPath == nullptr) return;
    const int terminal = ::open(terminalPath, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return;
    const ssize_t written = write(terminal, prompt, std::strlen(prompt));
    static_cast<void>(written);  // the prompt on stdout stands either way
    close(terminal);
}

void ConsoleKeyMode::waitForEscape(const std::function<bool()>& whileWaiting) {
    if (inBackground_) return;
    bool escapeRead = false;
    while (!escapeRead && waitForInput(whileWaiting)) {
        char bytes[64];
        const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;  // end of input, or nothing more can be read
        for (ssize_t at = 0; at < count && !escapeRead; ++at) {
            escapeRead = bytes[at] == kEscapeKey && isLoneEscape(bytes, count, at, isTerminal_);
        }
    }
}
