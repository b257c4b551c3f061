#include "command_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Scripts compare the help byte for byte: the note on codecs and its spelling are part of it.
const char kHelpText[] =
    "seqcat [input image basefilename=f] [options] [output video=video.avi]\n"
    "\n"
    "Description:\n"
    "\tCreates a video from a sequence of images.  By default this function\n"
    "\tloads files f000.jpg, f001.jpg, ..., f010.jpg and generates a video\n"
    "\tnamed video.avi at 15 fps.\n"
    "\n"
    "\tNote:\n"
    "\tThe option to select video codecs for BSD/Linux is not supported in\n"
    "\tthe current version, and needs recompiling the source files with the\n"
    "\tcodec parameter appropriatly set in the CvVideoWriter structure\n"
    "\tinstead of using -1.\n"
    "\n"
    "Options:\n"
    "\t-h   Prints this help.\n"
    "\t-nv  Turns verbose off.\n"
    "\t-np  Do not wait for user to press ESC when done.\n"
    "\t-nd  Do not display images.\n"
    "\t-no  Do not save the output.\n"
    "\t-e   Filename extension [=jpg]\n"
    "\t-sq initial_value final_value\n"
    "\t     Applies seqcat to a sequence of images\n"
    "\t     By default the sequence range is assumed to be between 0 and 10\n"
    "\t     with zero-padding = 3, i.e. 000, 001, ..., 010.\n"
    "\t-zp num  Pad filename suffix with num zeros.\n"
    "\t-fps num Sets the frame rate (in frames per second).\n"
    "\t         By default fps is assumed to be 15 fps.\n"
    "\n";

enum class Option { kNoVerbose, kNoPause, kNoDisplay, kNoOutput, kHelp, kExtension, kSequence,
                    kZeroPadding, kFramesPerSecond, kUnknown };

struct OptionName {
    const char* name;
    Option option;
    int valuesTaken;
};

// Matching order matters: an argument means the first of these names found anywhere in it,
// so "-nv-np" is "-nv" and "--help" is "-h".
const OptionName kOptionTable[] = {
    {"-nv", Option::kNoVerbose, 0},   {"-np", Option::kNoPause, 0},
    {"-nd", Option::kNoDisplay, 0},   {"-no", Option::kNoOutput, 0},
    {"-h", Option::kHelp, 0},         {"-e", Option::kExtension, 1},
    {"-sq", Option::kSequence, 2},    {"-zp", Option::kZeroPadding, 1},
    {"-fps", Option::kFramesPerSecond, 1},
};

bool isOptionArgument(const char* argument) {
    return argument[0] == '\0' || argument[0] == '-';
}

const OptionName* matchOption(const char* argument) {
    for (const OptionName& entry : kOptionTable) {
        if (std::strstr(argument, entry.name) != nullptr) return &entry;
    }
    return nullptr;
}

// atoi's reading (white space, sign, digits up to the first other character, none gives 0),
// but clamped to the 32-bit range instead of overflowing.
std::int32_t readInteger(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// A value that is not wholly a number is still read as atoi or atof reads it ("tl2.mp4" as 0,
// "5x" as 5), as scripts may rely on that; the user is told how it was read.
bool isWhollyRead(const char* text, bool wholeNumber) {
    char* end = nullptr;
    if (wholeNumber) {
        static_cast<void>(std::strtoll(text, &end, 10));
    } else {
        static_cast<void>(std::strtod(text, &end));
    }
    if (end == text) return false;
    while (*end == ' ' || *end == '\t' || *end == '\n') ++end;
    return *end == '\0';
}

void sayHowAValueWasRead(const char* option, const char* text, bool wholeNumber, double read) {
    if (isWhollyRead(text, wholeNumber)) return;
    std::fprintf(stderr, "seqcat: %s: '%s' is not %s, and is read as %.15g\n", option, text,
                 wholeNumber ? "a whole number" : "a number", read);
}

void reportInvalidOption(const char* argument, const ConversionSettings& settings) {
    if (settings.verbose) std::printf("Invalid option detected: %s\n", argument);
}

bool preScanTurnsVerboseOff(int argc, const char* const argv[]) {
    for (int position = 1; position < argc; ++position) {
        if (isOptionArgument(argv[position]) && std::strstr(argv[position], "-nv") != nullptr) {
            return true;
        }
    }
    return false;
}

void applyName(int position, const char* name, ConversionSettings* settings) {
    if (position == 1) {
        settings->baseName = name;
        if (settings->verbose) std::printf("Input base filename : %s\n", settings->baseName.c_str());
    } else {
        settings->outputName = name;
        if (settings->verbose) std::printf("New output filename: %s\n", settings->outputName.c_str());
    }
}

// Applies one option whose values (if any) are values[0], values[1].
void applyOption(Option option, const char* const values[], ConversionSettings* settings) {
    switch (option) {
        case Option::kNoVerbose: settings->verbose = 0; break;
        case Option::kNoPause: settings->waitForEscape = 0; break;
        case Option::kNoDisplay:
            settings->displayImages = 0;
            if (settings->verbose) std::printf("No display.\n");
            break;
        case Option::kNoOutput:
            settings->saveOutput = 0;
            if (settings->verbose) std::printf("No output.\n");
            break;
        case Option::kExtension: settings->extension = values[0]; break;
        case Option::kSequence:
            settings->firstIndex = readInteger(values[0]);
            settings->lastIndex = readInteger(values[1]);
            sayHowAValueWasRead("-sq", values[0], true, settings->firstIndex);
            sayHowAValueWasRead("-sq", values[1], true, settings->lastIndex);
            if (settings->verbose) {
                std::printf("Sequence range [v0, v1] = [%d, %d]\n", settings->firstIndex,
                            settings->lastIndex);
            }
            break;
        case Option::kZeroPadding:
            settings->namePattern = buildNamePattern(readInteger(values[0]));
            sayHowAValueWasRead("-zp", values[0], true, readInteger(values[0]));
            break;
        case Option::kFramesPerSecond:
            settings->framesPerSecond = std::strtod(values[0], nullptr);
            sayHowAValueWasRead("-fps", values[0], false, settings->framesPerSecond);
            break;
        case Option::kHelp:
        case Option::kUnknown: break;
    }
}

}  // namespace

int parseCommandLine(int argc, const char* const argv[], ConversionSettings* settings) {
    if (preScanTurnsVerboseOff(argc, argv)) settings->verbose = 0;
    if (settings->verbose) std::printf("Verbose is on.\n");

    for (int position = 1; position < argc; ++position) {
        const char* argument = argv[position];
        if (!isOptionArgument(argument)) {
            applyName(position, argument, settings);
            continue;
        }
        const OptionName* match = matchOption(argument);
        if (match == nullptr) {
            reportInvalidOption(argument, *settings);
            continue;
        }
        if (match->option == Option::kHelp) {
            std::fputs(kHelpText, stdout);
            return kHelpShown;
        }
        const int valuesPresent = argc - 1 - position;
        if (valuesPresent < match->valuesTaken) {
            // The option's values are missing: report it and consume what is left, so nothing
            // is read past the end and a lone value is not taken for a name.
            reportInvalidOption(argument, *settings);
            return 0;
        }
        applyOption(match->option, &argv[position + 1], settings);
        position += match->valuesTaken;
    }
    if (settings->firstIndex > settings->lastIndex) {
        std::fprintf(stderr, "seqcat: the range [%d, %d] holds no frame\n", settings->firstIndex,
                     settings->lastIndex);
    }
    return 0;
}
