// seqcat: makes a video from a numbered sequence of still images.
#include "command_line.h"
#include "conversion_run.h"
#include "settings.h"
#include "platform/standard_streams.h"
#include "platform/stop_signals.h"

#include <opencv2/core/utils/logger.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kMessagesLost = 1;

// Silences OpenCV's own log lines, so the console shows seqcat's messages only.
void silenceOpenCvLogs() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // Qt, under the window, prints its own warnings unless told not to.
    setenv("QT_LOGGING_RULES", "*=false", 0);
}

// Run before the shared libraries' initialisers, which already open files of their own.
void openStandardStreamsFirst(int, char**, char**) {
    openClosedStandardStreams();
}
__attribute__((section(".preinit_array"), used)) void (*const kBeforeAnyLibrary)(int, char**,
                                                                                   char**) =
    openStandardStreamsFirst;

// Messages that could not be written to stdout cost the run status 1, unless it already has
// a worse one. A reader that went away (seqcat | head) is not such a failure: the run was told
// to go on without it.
int withLostMessagesReported(int exitStatus) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return exitStatus;
    // A write cut short by a stop signal is not stdout's failure: the run ends by that signal.
    if (stopRequested()) return exitStatus;
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    const bool readerWentAway = poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0;
    if (readerWentAway) return exitStatus;
    std::fprintf(stderr, "seqcat: messages to standard output could not be written and are lost\n");
    return exitStatus == 0 ? kMessagesLost : exitStatus;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Each timing line appears as its frame completes, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader of the messages that goes away (seqcat | head) must not cost the video: the
    // messages are lost, the run goes on and finishes the file.
    std::signal(SIGPIPE, SIG_IGN);
    // A video that reaches the file-size limit is a write failure like a full disk, reported
    // as such, not a reason to die.
    std::signal(SIGXFSZ, SIG_IGN);

    ConversionSettings settings;
    setDefaultSettings(&settings);
    if (parseCommandLine(argc, argv, &settings) == kHelpShown) return withLostMessagesReported(0);

    installStopSignalHandlers();
    silenceOpenCvLogs();
    const int exitStatus = withLostMessagesReported(runConversion(settings));
    endByStopSignalIfReceived();
    return exitStatus;
}
