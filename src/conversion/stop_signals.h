// Ctrl-C, kill and a closed terminal must never cost the frames already written: the run
// stops at the next frame, finishes the video, and only then does the process end by that
// same signal, so a calling shell still sees that it was interrupted.
#pragma once

#include <csignal>

// Installs the handlers and blocks the stop signals (SIGINT, SIGTERM, SIGHUP) in the calling
// thread. Call before any other thread starts: OpenCV's and Qt's worker threads inherit the
// block, so a stop signal is only ever taken by the main thread, at stopRequested() or inside
// a wait that unblocks it.
void installStopSignalHandlers();

// True once a stop signal has arrived; takes one that is pending.
bool stopRequested();

// The calling thread's signal mask with the stop signals unblocked, for ppoll and the like.
sigset_t maskWithStopSignalsUnblocked();

// When a stop signal arrived, restores its default action and raises it again; does not
// return then. Call after everything is finished and flushed.
void endByStopSignalIfReceived();
