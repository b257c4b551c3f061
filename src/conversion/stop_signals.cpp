#include "stop_signals.h"

#include <cstdio>
#include <ctime>

namespace {

volatile std::sig_atomic_t receivedStopSignal = 0;

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void noteStopSignal(int signalNumber) {
    receivedStopSignal = signalNumber;
}

sigset_t stopSignalSet() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signalNumber : kStopSignals) sigaddset(&signals, signalNumber);
    return signals;
}

}  // namespace

void installStopSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kStopSignals) sigaction(signalNumber, &action, nullptr);
    const sigset_t signals = stopSignalSet();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
}

bool stopRequested() {
    if (receivedStopSignal != 0) return true;
    const sigset_t signals = stopSignalSet();
    const timespec noWait{0, 0};
    const int pendingSignal = sigtimedwait(&signals, nullptr, &noWait);
    if (pendingSignal > 0) receivedStopSignal = pendingSignal;
    return receivedStopSignal != 0;
}

sigset_t maskWithStopSignalsUnblocked() {
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (int signalNumber : kStopSignals) sigdelset(&mask, signalNumber);
    return mask;
}

void endByStopSignalIfReceived() {
    const int signalNumber = receivedStopSignal;
    if (signalNumber == 0) return;
    std::fflush(nullptr);
    std::signal(signalNumber, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, signalNumber);
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    std::raise(signalNumber);
}
