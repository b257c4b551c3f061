// What an image decoder says about the file it reads. libjpeg prints its warnings ("Premature
// end of JPEG file", "Corrupt JPEG data: ...") straight to stderr, naming no file; seqcat takes
// them over instead, per thread, so that the image can be named with them.
#pragma once

#include <string>

// While it lives, records the decoder's complaints on the calling thread (the first one is
// kept). Complaints made on a thread with no recorder are dropped.
class DecoderComplaints {
public:
    DecoderComplaints();
    ~DecoderComplaints();
    DecoderComplaints(const DecoderComplaints&) = delete;
    DecoderComplaints& operator=(const DecoderComplaints&) = delete;

    // The first complaint since this recorder started, or "" when there was none.
    const std::string& first() const { return first_; }

    void record(const char* complaint);

private:
    DecoderComplaints* outer_;  // the recorder this one stands in for on the same thread
    std::string first_;
};
