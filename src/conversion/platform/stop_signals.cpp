#include "stop_signals.h"

#include "back_end_stderr_capture.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <utility>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Every signal whose default action ends the process without a core dump, and QUIT and XCPU,
// which dump core but are sent by a user (Ctrl-\) or a CPU time limit. The other core-dumping
// ones (SEGV, ABRT, ...) mean a program error and keep their default.
const int kStopSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                            SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR,  SIGIO,   SIGSTKFLT};

// Sent by the watcher to the main thread alone, to cut its blocking call short with EINTR.
// Nothing else in the process uses it, and its default action is to do nothing.
constexpr int kWakeSignal = SIGURG;

// How often the main thread is woken again once a stop signal came: a blocking call it
// enters just after one wake is cut short by the next.
constexpr timespec kWakeInterval{0, 100 * 1000 * 1000};

constexpr int kStopSignalsThatEndAtOnce = 3;

std::atomic<int> firstStopSignal{0};
std::atomic<bool> watcherMustEnd{false};
std::atomic<bool> watcherEnded{false};
pthread_t mainThread;
sigset_t handledStopSignals;

extern "C" void interruptBlockingCall(int) {}

bool ignoredAtStart(int signalNumber) {
    struct sigaction current {};
    sigaction(signalNumber, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

[[noreturn]] void endBySignalNow(int signalNumber) {
    std::signal(signalNumber, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);  // only if the signal's action was changed meanwhile
}

// A capture of the video library's messages may have stderr redirected just now.
constexpr int kMostMillisecondsForStderr = 200;

void endAtOnce(int signalNumber) {
    reclaimStderrForLastWords(kMostMillisecondsForStderr);
    const char message[] = "seqcat: third stop signal: ending at once, the video is not finished\n";
    const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    static_cast<void>(written);  // a message that cannot be written changes nothing here
    endBySignalNow(signalNumber);
}

// While the CPU time limit stays exceeded the kernel sends SIGXCPU again every second: that
// is a reminder of the first, not a user insisting.
bool isRepeatedCpuLimit(const siginfo_t& signal) {
    return signal.si_signo == SIGXCPU && signal.si_code == SI_KERNEL;
}

void* watchStopSignals(void*) {
    int signalsCounted = 0;
    while (!watcherMustEnd) {
        siginfo_t signal{};
        const int signalNumber = firstStopSignal != 0
                                     ? sigtimedwait(&handledStopSignals, &signal, &kWakeInterval)
                                     : sigwaitinfo(&handledStopSignals, &signal);
        if (signalNumber > 0 && !(signalsCounted > 0 && isRepeatedCpuLimit(signal))) {
            ++signalsCounted;
            if (signalsCounted == 1) firstStopSignal = signalNumber;
            if (signalsCounted == kStopSignalsThatEndAtOnce) endAtOnce(signalNumber);
        }
        if (firstStopSignal != 0 && !watcherMustEnd) pthread_kill(mainThread, kWakeSignal);
    }
    watcherEnded = true;
    return nullptr;
}

// `ulimit -t` sets the soft and the hard CPU time limit alike, and at a hard limit the kernel
// sends SIGKILL, which cannot be caught. A soft limit one second below it brings SIGXCPU, a
// stop signal, first, and leaves that second for finishing the video.
void leaveTimeToFinishWithinCpuLimit() {
    rlimit cpuTime{};
    if (getrlimit(RLIMIT_CPU, &cpuTime) != 0) return;
    if (cpuTime.rlim_max == RLIM_INFINITY || cpuTime.rlim_cur != cpuTime.rlim_max) return;
    if (cpuTime.rlim_max < 2) return;
    cpuTime.rlim_cur = cpuTime.rlim_max - 1;
    setrlimit(RLIMIT_CPU, &cpuTime);
}

}  // namespace

void installStopSignalHandlers() {
    sigemptyset(&handledStopSignals);
    for (int signalNumber : kStopSignals) {
        if (!ignoredAtStart(signalNumber)) sigaddset(&handledStopSignals, signalNumber);
    }
    // The real-time signals the C library leaves to programs; it keeps those below SIGRTMIN.
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        if (!ignoredAtStart(signalNumber)) sigaddset(&handledStopSignals, signalNumber);
    }
    mainThread = pthread_self();
    if (sigismember(&handledStopSignals, SIGXCPU)) leaveTimeToFinishWithinCpuLimit();

    // No SA_RESTART: the point of the wake is the EINTR it causes.
    struct sigaction wake {};
    wake.sa_handler = interruptBlockingCall;
    sigemptyset(&wake.sa_mask);
    sigaction(kWakeSignal, &wake, nullptr);

    sigset_t blockedInAllThreads = handledStopSignals;
    sigaddset(&blockedInAllThreads, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &blockedInAllThreads, nullptr);
    pthread_t watcher;
    if (pthread_create(&watcher, nullptr, watchStopSignals, nullptr) != 0) {
        // Without a watcher the stop signals keep their default actions rather than vanish.
        pthread_sigmask(SIG_UNBLOCK, &handledStopSignals, nullptr);
        return;
    }
    pthread_detach(watcher);
    sigset_t wakeOnly;
    sigemptyset(&wakeOnly);
    sigaddset(&wakeOnly, kWakeSignal);
    pthread_sigmask(SIG_UNBLOCK, &wakeOnly, nullptr);
}

bool stopRequested() {
    return firstStopSignal != 0;
}

std::string stopSignalName() {
    static const std::pair<int, const char*> kNames[] = {
        {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"}, {SIGTERM, "SIGTERM"},
        {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},     {SIGALRM, "SIGALRM"}, {SIGXCPU, "SIGXCPU"},
        {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGPWR, "SIGPWR"},   {SIGIO, "SIGIO"},
        {SIGSTKFLT, "SIGSTKFLT"}};
    const int signalNumber = firstStopSignal;
    if (signalNumber == 0) return "";
    for (const auto& [number, name] : kNames) {
        if (number == signalNumber) return name;
    }
    return "SIGRTMIN+" + std::to_string(signalNumber - SIGRTMIN);
}

// The watcher waits with a short timeout once a stop signal came, so it ends within one wake
// interval. A signal the main thread raises at itself while another thread waits for it is
// taken by that thread under some emulators (qemu's user mode), which would count it as the
// user's next signal or leave the process running.
void stopWatching() {
    watcherMustEnd = true;
    for (int waits = 0; !watcherEnded && waits < 50; ++waits) {
        const timespec shortWait{0, 10 * 1000 * 1000};
        nanosleep(&shortWait, nullptr);
    }
}

void endByStopSignalIfReceived() {
    const int signalNumber = firstStopSignal;
    if (signalNumber == 0) return;
    std::fflush(nullptr);
    stopWatching();
    endBySignalNow(signalNumber);
}
