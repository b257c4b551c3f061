// No signal that would end the process may cost the frames already written: the run stops at
// the next frame, finishes the video, and only then does the process end by that same signal,
// so a calling shell still sees what ended it.
#pragma once

#include <string>

// Makes a stop signal of every signal whose default action ends the process without a core
// dump (HUP, INT, TERM, USR1, USR2, ALRM, VTALRM, PROF, PWR, IO, STKFLT and the real-time
// signals), and of QUIT and XCPU, except one that was ignored when seqcat started: that one
// stays ignored. Call before any other thread starts, so that every thread inherits the block
// and only the watcher thread this starts ever takes them.
//
// From the first stop signal on, the watcher keeps interrupting whatever blocking call the
// main thread is in (a read of an image that never comes, a write to a pipe nobody reads), so
// the run ends within a fraction of a second. A second stop signal changes nothing; a third
// ends the process at once, without finishing the video.
void installStopSignalHandlers();

// True once a stop signal has arrived.
bool stopRequested();

// The first stop signal's name ("SIGINT", "SIGRTMIN+1"), "" before one arrived.
std::string stopSignalName();

// When a stop signal arrived, ends the process by that signal; does not return then. Call
// after everything is finished and flushed.
void endByStopSignalIfReceived();
