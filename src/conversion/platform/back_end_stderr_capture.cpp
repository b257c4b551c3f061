#include "back_end_stderr_capture.h"

extern "C" {
#include <libavutil/log.h>
}

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

constexpr std::size_t kMostBytesLookedAt = 1 << 16;

// Held by a capture while it lives: one capture at a time, and the signal watcher's last line
// waits for it.
std::timed_mutex stderrRedirection;
std::atomic<bool> redirectionAllowed{true};

// The capture FFmpeg's log lines go to; guarded by its own lock, since the encoder may log from
// any thread.
std::mutex logRecipientLock;
BackEndStderrCapture* logRecipient = nullptr;

void recordLogLine(void*, int level, const char* format, va_list arguments) {
    if (level > av_log_get_level()) return;
    std::lock_guard<std::mutex> lock(logRecipientLock);
    if (logRecipient == nullptr) return;  // no capture listens: nothing to format
    char line[1024];
    std::vsnprintf(line, sizeof line, format, arguments);
    logRecipient->record(line);
}

}  // namespace

void keepBackEndLogOffStderr() {
    av_log_set_callback(recordLogLine);
}

void stopRedirectingStderr() {
    redirectionAllowed = false;
}

void reclaimStderrForLastWords(int milliseconds) {
    redirectionAllowed = false;
    // Never unlocked: the process is about to end.
    static_cast<void>(stderrRedirection.try_lock_for(std::chrono::milliseconds(milliseconds)));
}

BackEndStderrCapture::BackEndStderrCapture() {
    stderrRedirection.lock();
    {
        std::lock_guard<std::mutex> lock(logRecipientLock);
        logRecipient = this;
    }
    if (!redirectionAllowed) return;
    savedStderr_ = dup(STDERR_FILENO);
    // Without a copy to restore it from, stderr is left alone.
    if (savedStderr_ < 0) return;
    captureFile_ = memfd_create("seqcat-back-end-messages", MFD_CLOEXEC);
    if (captureFile_ < 0) captureFile_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    std::fflush(stderr);
    if (captureFile_ >= 0) dup2(captureFile_, STDERR_FILENO);
}

BackEndStderrCapture::~BackEndStderrCapture() {
    if (savedStderr_ >= 0) {
        std::fflush(stderr);
        dup2(savedStderr_, STDERR_FILENO);
        close(savedStderr_);
        if (captureFile_ >= 0) close(captureFile_);
    }
    {
        std::lock_guard<std::mutex> lock(logRecipientLock);
        logRecipient = nullptr;
    }
    stderrRedirection.unlock();
}

void BackEndStderrCapture::record(const std::string& line) {
    if (logged_.size() < kMostBytesLookedAt) logged_ += line;
}

bool BackEndStderrCapture::contains(const char* text) const {
    {
        std::lock_guard<std::mutex> lock(logRecipientLock);
        if (logged_.find(text) != std::string::npos) return true;
    }
    if (captureFile_ < 0) return false;
    std::string printed(kMostBytesLookedAt, '\0');
    const ssize_t length = pread(captureFile_, &printed[0], printed.size(), 0);
    if (length <= 0) return false;
    printed.resize(static_cast<std::size_t>(length));
    return printed.find(text) != std::string::npos;
}
