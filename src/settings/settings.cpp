#include "settings.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::int32_t kDefaultPaddingWidth = 3;

// The field width written into a pattern by buildNamePattern, read back so the length of a
// path is known before it is formed: printf would otherwise allocate a buffer as wide as the
// field, gigabytes for a huge width.
long long paddingWidthOf(const std::string& pattern) {
    const std::size_t start = pattern.find("%0");
    if (start == std::string::npos) return 0;
    const char* widthText = pattern.c_str() + start + 2;
    while (*widthText == '-' || *widthText == '0') ++widthText;  // flags, not digits of width
    return std::strtoll(widthText, nullptr, 10);
}

// Characters the index takes unpadded, its minus sign included.
long long printedLengthOf(std::int32_t index) {
    long long magnitude = index < 0 ? -static_cast<long long>(index) : index;
    long long length = index < 0 ? 2 : 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++length;
    }
    return length;
}

}  // namespace

void setDefaultSettings(ConversionSettings* settings) {
    settings->baseName = "f";
    settings->extension = "jpg";
    settings->namePattern = buildNamePattern(kDefaultPaddingWidth);
    settings->firstIndex = 0;
    settings->lastIndex = 10;
    settings->framesPerSecond = 15.0;
    settings->outputName = "video.avi";
    settings->saveOutput = 1;
    settings->displayImages = 1;
    settings->verbose = 1;
    settings->waitForEscape = 1;
}

std::string buildNamePattern(std::int32_t width) {
    char pattern[32];
    std::snprintf(pattern, sizeof pattern, "%%s%%0%dd.%%s", static_cast<int>(width));
    return pattern;
}

std::int64_t imagesInRange(const ConversionSettings& settings) {
    const std::int64_t count =
        static_cast<std::int64_t>(settings.lastIndex) - settings.firstIndex + 1;
    return std::max<std::int64_t>(0, count);
}

std::string formatImagePath(const ConversionSettings& settings, std::int32_t index) {
    const long long longestPath = static_cast<long long>(settings.baseName.size()) +
                                  std::max(paddingWidthOf(settings.namePattern), printedLengthOf(index)) +
                                  1 + static_cast<long long>(settings.extension.size());
    if (longestPath >= PATH_MAX) return std::string();

    std::string path(static_cast<std::size_t>(longestPath) + 1, '\0');
    const int length = std::snprintf(&path[0], path.size(), settings.namePattern.c_str(),
                                     settings.baseName.c_str(), static_cast<int>(index),
                                     settings.extension.c_str());
    if (length < 0 || static_cast<std::size_t>(length) >= path.size()) return std::string();
    path.resize(static_cast<std::size_t>(length));
    return path;
}
