// Fuzzes the command line: the input, split at its zero bytes, is the argument list after the
// program name. Each run parses it onto the defaults, then forms image paths for the parsed
// range and for the extreme indexes, and checks what the parse may never produce. AddressSanitizer
// catches any read past the argument list or a field; the checks below catch wrong results.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "command_line.h"
#include "settings.h"

namespace {

// More arguments add nothing the parse has not already seen but slow each run down.
constexpr std::size_t kMostArguments = 64;

void failCheck(const char* what, const std::string& detail) {
    std::fprintf(stderr, "command_line_fuzzer: %s: '%s'\n", what, detail.c_str());
    std::abort();
}

std::vector<std::string> splitAtZeroBytes(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    const char* text = reinterpret_cast<const char*>(data);
    const char* const end = text + size;
    while (arguments.size() < kMostArguments) {
        const char* zero = static_cast<const char*>(std::memchr(text, '\0', end - text));
        arguments.emplace_back(text, zero ? zero : end);
        if (zero == nullptr) break;
        text = zero + 1;
    }
    return arguments;
}

// The padding width buildNamePattern wrote: the pattern must be exactly "%s%0<width>d.%s".
long long paddingWidthOrFail(const std::string& pattern) {
    const std::string head = "%s%0";
    const std::string tail = "d.%s";
    if (pattern.size() < head.size() + tail.size() + 1 || pattern.compare(0, head.size(), head) != 0 ||
        pattern.compare(pattern.size() - tail.size(), tail.size(), tail) != 0) {
        failCheck("name pattern is not base, index, point, extension", pattern);
    }
    const std::string widthText = pattern.substr(head.size(), pattern.size() - head.size() - tail.size());
    char* widthEnd = nullptr;
    const long long width = std::strtoll(widthText.c_str(), &widthEnd, 10);
    if (*widthEnd != '\0' || width < INT32_MIN || width > INT32_MAX) {
        failCheck("name pattern width is not a 32-bit integer", pattern);
    }
    return width;
}

// The index as a zero-padded printf conversion writes it: zeros after the sign up to the width,
// or, for a negative width (left-justify), the plain number followed by spaces.
std::string expectedIndexText(std::int32_t index, long long width) {
    std::string number = std::to_string(index);
    if (width < 0) {
        const std::size_t fieldWidth = static_cast<std::size_t>(-width);
        if (number.size() < fieldWidth) number.append(fieldWidth - number.size(), ' ');
        return number;
    }
    const std::size_t fieldWidth = static_cast<std::size_t>(width);
    if (number.size() < fieldWidth) {
        number.insert(index < 0 ? 1 : 0, fieldWidth - number.size(), '0');
    }
    return number;
}

void checkImagePath(const ConversionSettings& settings, long long width, std::int32_t index) {
    const std::string path = formatImagePath(settings, index);
    // Only the length is needed for a name too long to open, so the index field is not built.
    const long long absoluteWidth = width < 0 ? -width : width;
    const long long indexLength = static_cast<long long>(std::to_string(index).size());
    const long long pathLength = static_cast<long long>(settings.baseName.size()) +
                                 (absoluteWidth > indexLength ? absoluteWidth : indexLength) + 1 +
                                 static_cast<long long>(settings.extension.size());
    // PATH_MAX counts the closing zero byte: a name of PATH_MAX - 1 characters can be opened.
    if (pathLength >= PATH_MAX) {
        if (!path.empty()) failCheck("path longer than the system allows", path.substr(0, 64));
        return;
    }
    if (path.empty()) failCheck("no path for a name that fits", settings.namePattern);
    const std::string expected =
        settings.baseName + expectedIndexText(index, width) + "." + settings.extension;
    if (path != expected) failCheck("wrong image path", path + "' expected '" + expected);
}

bool someArgumentHolds(const std::vector<std::string>& arguments, const char* optionName) {
    for (const std::string& argument : arguments) {
        if (argument.find(optionName) != std::string::npos) return true;
    }
    return false;
}

// Every flag starts on; only its own option turns it off, so an argument must name that option.
void checkFlags(const ConversionSettings& settings, const std::vector<std::string>& arguments) {
    const struct {
        unsigned char value;
        const char* optionName;
    } flags[] = {{settings.saveOutput, "-no"}, {settings.displayImages, "-nd"},
                 {settings.verbose, "-nv"}, {settings.waitForEscape, "-np"}};
    for (const auto& flag : flags) {
        if (flag.value == 1) continue;
        if (flag.value != 0) failCheck("flag neither on nor off", std::to_string(flag.value));
        if (!someArgumentHolds(arguments, flag.optionName)) {
            failCheck("flag turned off without its option", flag.optionName);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The parse prints its messages and the help text; millions of runs must not flood the log.
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> arguments = splitAtZeroBytes(data, size);

    // Exactly argc entries, no closing null: a read past the last argument is a heap overflow.
    std::vector<const char*> argv;
    argv.push_back("seqcat");
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());

    ConversionSettings settings;
    setDefaultSettings(&settings);
    const int result = parseCommandLine(static_cast<int>(argv.size()), argv.data(), &settings);
    if (result != 0 && result != kHelpShown) failCheck("parse result", std::to_string(result));

    checkFlags(settings, arguments);

    const long long width = paddingWidthOrFail(settings.namePattern);
    for (std::int32_t index : {settings.firstIndex, settings.lastIndex, std::int32_t{0},
                               std::int32_t{INT32_MIN}, std::int32_t{INT32_MAX}}) {
        checkImagePath(settings, width, index);
    }
    return 0;
}
