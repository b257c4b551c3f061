// The conversion run: probe, window and writer, the frame loop, the end of the run.
#pragma once

#include "settings.h"

// Exit status of a run that failed: the probe image cannot be loaded, or the output video
// cannot be created, written, saved or proven to hold what was written. A POSIX shell sees it
// as 255.
constexpr int kRunFailed = -1;

// Runs the conversion the settings describe and returns the exit status.
int runConversion(const ConversionSettings& settings);
