// The conversion run: the probe, the window, the video and the two stages, the frame loop, and
// the one way out of it.
#pragma once

#include "run_result.h"
#include "settings.h"

// Runs the conversion the settings describe, says what became of it, and returns the exit
// status (kRunFailed where it failed). Errors the libraries raise are said as the others.
int runConversion(const ConversionSettings& settings);
