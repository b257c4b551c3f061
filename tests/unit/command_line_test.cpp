#include "command_line.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected_help_text.h"

namespace {

const std::string kVerboseOn = "Verbose is on.\n";
const std::string kHelp = kExpectedHelpText;

struct ParseCase {
    const char* name;
    std::vector<const char*> arguments;  // after the program's name
    int result;
    std::string output;
    std::function<void(ConversionSettings&)> change;  // from the defaults
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class Parse : public testing::TestWithParam<ParseCase> {};

void expectSameSettings(const ConversionSettings& actual, const ConversionSettings& expected) {
    EXPECT_EQ(actual.baseName, expected.baseName);
    EXPECT_EQ(actual.extension, expected.extension);
    EXPECT_EQ(actual.namePattern, expected.namePattern);
    EXPECT_EQ(actual.firstIndex, expected.firstIndex);
    EXPECT_EQ(actual.lastIndex, expected.lastIndex);
    EXPECT_EQ(actual.framesPerSecond, expected.framesPerSecond);
    EXPECT_EQ(actual.outputName, expected.outputName);
    EXPECT_EQ(actual.saveOutput, expected.saveOutput);
    EXPECT_EQ(actual.displayImages, expected.displayImages);
    EXPECT_EQ(actual.verbose, expected.verbose);
    EXPECT_EQ(actual.waitForEscape, expected.waitForEscape);
}

TEST_P(Parse, PrintsAndStoresWhatTheLineSays) {
    const ParseCase& c = GetParam();
    // Exactly argc pointers, with no terminating null, so a read past the end is caught.
    const int argc = static_cast<int>(c.arguments.size()) + 1;
    std::unique_ptr<const char*[]> argv(new const char*[argc]);
    argv[0] = "seqcat";
    for (int i = 1; i < argc; ++i) argv[i] = c.arguments[i - 1];

    ConversionSettings settings;
    setDefaultSettings(&settings);
    ConversionSettings expected = settings;
    if (c.change) c.change(expected);

    testing::internal::CaptureStdout();
    const int result = parseCommandLine(argc, argv.get(), &settings);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(result, c.result);
    expectSameSettings(settings, expected);
}

using S = ConversionSettings;

INSTANTIATE_TEST_SUITE_P(
    Lines, Parse,
    testing::Values(
        ParseCase{"NoArguments", {}, 0, kVerboseOn, nullptr},
        ParseCase{"QuietAfterTheName", {"shots", "-nv"}, 0, "",
                  [](S& s) { s.baseName = "shots"; s.verbose = 0; }},
        ParseCase{"QuietAtTheEnd", {"-nd", "-no", "-sq", "1", "2", "-nv"}, 0, "",
                  [](S& s) { s.displayImages = 0; s.saveOutput = 0; s.firstIndex = 1;
                             s.lastIndex = 2; s.verbose = 0; }},
        ParseCase{"SwitchesOff", {"-np", "-nd", "-no"}, 0,
                  kVerboseOn + "No display.\nNo output.\n",
                  [](S& s) { s.waitForEscape = 0; s.displayImages = 0; s.saveOutput = 0; }},
        ParseCase{"NameAtPositionOneIsBase", {"shots", "-e", "png", "clip.avi"}, 0,
                  kVerboseOn + "Input base filename : shots\nNew output filename: clip.avi\n",
                  [](S& s) { s.baseName = "shots"; s.extension = "png"; s.outputName = "clip.avi"; }},
        ParseCase{"NameLaterIsOutput", {"-nd", "shots"}, 0,
                  kVerboseOn + "No display.\nNew output filename: shots\n",
                  [](S& s) { s.displayImages = 0; s.outputName = "shots"; }},
        ParseCase{"LastOutputNameWins", {"shots", "a.avi", "b.avi"}, 0,
                  kVerboseOn + "Input base filename : shots\nNew output filename: a.avi\n"
                               "New output filename: b.avi\n",
                  [](S& s) { s.baseName = "shots"; s.outputName = "b.avi"; }},
        ParseCase{"ValueLooksLikeDisplayOption", {"-e", "-nd"}, 0, kVerboseOn,
                  [](S& s) { s.extension = "-nd"; }},
        ParseCase{"ValueLooksLikeQuietOption", {"-e", "-nv"}, 0, "",
                  [](S& s) { s.extension = "-nv"; s.verbose = 0; }},
        ParseCase{"ValueLooksLikeHelp", {"-zp", "-h"}, 0, kVerboseOn,
                  [](S& s) { s.namePattern = "%s%00d.%s"; }},
        ParseCase{"ReversedRangeKept", {"-sq", "5", "2"}, 0,
                  kVerboseOn + "Sequence range [v0, v1] = [5, 2]\n",
                  [](S& s) { s.firstIndex = 5; s.lastIndex = 2; }},
        ParseCase{"PaddingAndRate", {"-zp", "5", "-fps", "29.97"}, 0, kVerboseOn,
                  [](S& s) { s.namePattern = "%s%05d.%s"; s.framesPerSecond = 29.97; }},
        // The first option name found anywhere inside the argument decides.
        ParseCase{"QuietWithTrailingText", {"-nvx"}, 0, "", [](S& s) { s.verbose = 0; }},
        ParseCase{"QuietBeforeNoPause", {"-nv-np"}, 0, "", [](S& s) { s.verbose = 0; }},
        ParseCase{"NameHoldingAnOptionIsAName", {"x-npx"}, 0, kVerboseOn + "Input base filename : x-npx\n",
                  [](S& s) { s.baseName = "x-npx"; }},
        ParseCase{"LongExtensionOption", {"-ext", "png"}, 0, kVerboseOn,
                  [](S& s) { s.extension = "png"; }},
        ParseCase{"NoOutputPrefix", {"-nod"}, 0, kVerboseOn + "No output.\n",
                  [](S& s) { s.saveOutput = 0; }},
        ParseCase{"EmptyArgument", {""}, 0, kVerboseOn + "Invalid option detected: \n", nullptr},
        ParseCase{"LoneDash", {"-", "shots"}, 0,
                  kVerboseOn + "Invalid option detected: -\nNew output filename: shots\n",
                  [](S& s) { s.outputName = "shots"; }},
        ParseCase{"UnknownQuietly", {"-x", "-nv"}, 0, "", [](S& s) { s.verbose = 0; }},
        // An option without all its values is reported, and what follows it is not a name.
        ParseCase{"RangeWithOneValue", {"shots", "-sq", "5"}, 0,
                  kVerboseOn + "Input base filename : shots\nInvalid option detected: -sq\n",
                  [](S& s) { s.baseName = "shots"; }},
        ParseCase{"RangeSwallowsHelp", {"-sq", "-h"}, 0,
                  kVerboseOn + "Invalid option detected: -sq\n", nullptr},
        ParseCase{"ExtensionAtTheEnd", {"-e"}, 0, kVerboseOn + "Invalid option detected: -e\n",
                  nullptr},
        ParseCase{"PaddingAtTheEnd", {"-nd", "-zp"}, 0,
                  kVerboseOn + "No display.\nInvalid option detected: -zp\n",
                  [](S& s) { s.displayImages = 0; }},
        ParseCase{"RateAtTheEndQuietly", {"-nv", "-fps"}, 0, "", [](S& s) { s.verbose = 0; }},
        // Numbers read as atoi and atof do, with integers held to 32 bits.
        ParseCase{"RangePast32Bits", {"-sq", "99999999999", "-99999999999"}, 0,
                  kVerboseOn + "Sequence range [v0, v1] = [2147483647, -2147483648]\n",
                  [](S& s) { s.firstIndex = INT32_MAX; s.lastIndex = INT32_MIN; }},
        ParseCase{"RangeAtoiRules", {"-sq", " +12abc", "0x10"}, 0,
                  kVerboseOn + "Sequence range [v0, v1] = [12, 0]\n",
                  [](S& s) { s.firstIndex = 12; s.lastIndex = 0; }},
        ParseCase{"RangeEdgesOf32Bits", {"-sq", "-2147483648", "2147483647"}, 0,
                  kVerboseOn + "Sequence range [v0, v1] = [-2147483648, 2147483647]\n",
                  [](S& s) { s.firstIndex = INT32_MIN; s.lastIndex = INT32_MAX; }},
        ParseCase{"PaddingPast32Bits", {"-zp", "4294967296"}, 0, kVerboseOn,
                  [](S& s) { s.namePattern = "%s%02147483647d.%s"; }},
        ParseCase{"PaddingAtoiRules", {"-zp", "\t-4x"}, 0, kVerboseOn,
                  [](S& s) { s.namePattern = "%s%0-4d.%s"; }},
        ParseCase{"RateAtofRules", {"-fps", " 2.5e1fps"}, 0, kVerboseOn,
                  [](S& s) { s.framesPerSecond = 25.0; }},
        ParseCase{"RateWithoutNumber", {"-fps", "fast"}, 0, kVerboseOn,
                  [](S& s) { s.framesPerSecond = 0.0; }},
        // Help ends the parse: messages before it are printed, nothing after it is handled.
        ParseCase{"HelpAlone", {"-h"}, kHelpShown, kVerboseOn + kHelp, nullptr},
        ParseCase{"HelpLongForm", {"--help"}, kHelpShown, kVerboseOn + kHelp, nullptr},
        ParseCase{"HelpAfterName", {"shots", "-h"}, kHelpShown,
                  kVerboseOn + "Input base filename : shots\n" + kHelp,
                  [](S& s) { s.baseName = "shots"; }},
        ParseCase{"HelpAfterQuiet", {"-nv", "-h"}, kHelpShown, kHelp, [](S& s) { s.verbose = 0; }},
        ParseCase{"HelpBeforeQuiet", {"-h", "-nv"}, kHelpShown, kHelp, [](S& s) { s.verbose = 0; }},
        ParseCase{"HelpBeforeOthers", {"-h", "-xyz", "-nd", "out.avi"}, kHelpShown,
                  kVerboseOn + kHelp, nullptr}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

}  // namespace
