// seqcat: makes a video from a numbered sequence of still images.
#include "command_line.h"
#include "conversion_run.h"
#include "settings.h"
#include "stop_signals.h"

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[]) {
    // Each timing line appears as its frame completes, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A reader of the messages that goes away (seqcat | head) must not cost the video: the
    // messages are lost, the run goes on and finishes the file.
    std::signal(SIGPIPE, SIG_IGN);

    ConversionSettings settings;
    setDefaultSettings(&settings);
    if (parseCommandLine(argc, argv, &settings) == kHelpShown) return 0;

    installStopSignalHandlers();
    silenceOpenCvLogs();
    const int exitStatus = runConversion(settings);
    std::fflush(stdout);
    endByStopSignalIfReceived();
    return exitStatus;
}
