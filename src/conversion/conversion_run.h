// The conversion run: probe, window and writer, the frame loop, the end of the run.
#pragma once

#include "settings.h"

// Exit status of a run that could not start: the probe image cannot be loaded or the output
// video cannot be created. A POSIX shell sees it as 255.
constexpr int kRunFailed = -1;

// Silences OpenCV's own log lines, so the console shows seqcat's messages only.
void silenceOpenCvLogs();

// Runs the conversion the settings describe and returns the exit status.
int runConversion(const ConversionSettings& settings);
