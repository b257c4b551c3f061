// What the video library prints while it opens, writes or reads a file: complaints about codec
// tags (WebM's on every open, though the writer works), an encoder's progress or why it failed.
// They are not the user's concern as they stand, so they are kept aside and looked into instead.
//
// FFmpeg's log is taken over for the whole run and never reaches stderr. What OpenCV's back end
// prints itself is kept aside by redirecting stderr, which is process-wide: that is done only
// where no other thread of seqcat writes to stderr meanwhile.
#pragma once

#include <string>

// From here on FFmpeg's log lines are recorded for the capture in progress, or dropped.
void keepBackEndLogOffStderr();

// For the rest of the process no capture redirects stderr any more (a thread other than the
// main one finishes the video while the main one may still print).
void stopRedirectingStderr();

// Waits up to `milliseconds` for a capture in progress to end, so that a last line written
// to stderr right after reaches the user; from then on no capture redirects stderr. For the
// process's last words only: it is not given back.
void reclaimStderrForLastWords(int milliseconds);

class BackEndStderrCapture {
public:
    BackEndStderrCapture();   // from here on stderr goes to a private file
    ~BackEndStderrCapture();  // stderr is the user's again
    BackEndStderrCapture(const BackEndStderrCapture&) = delete;
    BackEndStderrCapture& operator=(const BackEndStderrCapture&) = delete;

    // True when what was printed or logged so far holds the text.
    bool contains(const char* text) const;

    // Called by FFmpeg's log, whichever thread logs.
    void record(const std::string& line);

private:
    int savedStderr_ = -1;
    int captureFile_ = -1;  // where stderr goes meanwhile
    std::string logged_;
};
