// seqcat: makes a video from a numbered sequence of still images.
#include "command_line.h"
#include "conversion_run.h"
#include "settings.h"
#include "stop_signals.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

namespace {

// Runs the conversion; an error OpenCV raises inside its calls ends the run with a message,
// after the writer and the window have been released on the way out.
int runReportingErrors(const ConversionSettings& settings) {
    try {
        return runConversion(settings);
    } catch (const std::exception& error) {
        std::string message = error.what();
        while (!message.empty() && message.back() == '\n') message.pop_back();
        std::fprintf(stderr, "seqcat: %s\n", message.c_str());
        return kRunFailed;
    }
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
    if (parseCommandLine(argc, argv, &settings) == kHelpShown) return 0;

    installStopSignalHandlers();
    silenceOpenCvLogs();
    const int exitStatus = runReportingErrors(settings);
    std::fflush(stdout);
    endByStopSignalIfReceived();
    return exitStatus;
}
