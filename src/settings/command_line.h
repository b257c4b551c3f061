// Applies the program's arguments to the settings, printing the parse messages and the help.
#pragma once

#include "settings.h"

// Result of parseCommandLine when the help text was printed: the caller ends at once.
constexpr int kHelpShown = -2;

// Returns 0 once every argument is handled, or kHelpShown after printing the help text.
// argv[0] is never looked at; the settings must already hold their defaults.
int parseCommandLine(int argc, const char* const argv[], ConversionSettings* settings);
