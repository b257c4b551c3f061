// What the video library prints on stderr while it opens or reads a file: complaints about
// codec tags (WebM's on every open, though the writer works), or why an encoder failed. They
// are not the user's concern as they stand, so they are kept aside and looked into instead.
#pragma once

class BackEndStderrCapture {
public:
    BackEndStderrCapture();   // from here on stderr goes to a private file
    ~BackEndStderrCapture();  // stderr is the user's again
    BackEndStderrCapture(const BackEndStderrCapture&) = delete;
    BackEndStderrCapture& operator=(const BackEndStderrCapture&) = delete;

    // True when what was printed so far holds the text.
    bool mention(const char* text) const;

private:
    int savedStderr_ = -1;
    int capture_ = -1;
};
