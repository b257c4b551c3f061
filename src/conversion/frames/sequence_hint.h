// What to suggest when the first image of a sequence is not there: the numbered images its
// folder does hold, and the options that would read them.
#pragma once

#include "settings.h"

#include <string>

// The suggestion ("seqcat shot_ -e png -zp 4 -sq 1 240", with what it reads), or "" when the
// folder holds no numbered images. Only a bounded part of a large folder is looked at.
std::string suggestSequence(const ConversionSettings& settings);
