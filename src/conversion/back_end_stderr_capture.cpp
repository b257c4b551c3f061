#include "back_end_stderr_capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr std::size_t kMostBytesLookedAt = 1 << 16;

}  // namespace

BackEndStderrCapture::BackEndStderrCapture() : savedStderr_(dup(STDERR_FILENO)) {
    // Without a copy to restore it from, stderr is left alone.
    if (savedStderr_ < 0) return;
    capture_ = memfd_create("seqcat-back-end-messages", MFD_CLOEXEC);
    if (capture_ < 0) capture_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    std::fflush(stderr);
    if (capture_ >= 0) dup2(capture_, STDERR_FILENO);
}

BackEndStderrCapture::~BackEndStderrCapture() {
    if (savedStderr_ < 0) return;
    std::fflush(stderr);
    dup2(savedStderr_, STDERR_FILENO);
    close(savedStderr_);
    if (capture_ >= 0) close(capture_);
}

bool BackEndStderrCapture::mention(const char* text) const {
    if (capture_ < 0) return false;
    std::string printed(kMostBytesLookedAt, '\0');
    const ssize_t length = pread(capture_, &printed[0], printed.size(), 0);
    if (length <= 0) return false;
    printed.resize(static_cast<std::size_t>(length));
    return printed.find(text) != std::string::npos;
}
