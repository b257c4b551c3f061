// The settings of one conversion run and the names of the images it reads.
#pragma once

#include <cstdint>
#include <string>

struct ConversionSettings {
    std::string baseName;     // leading part of every image name; may hold a folder
    std::string extension;    // image extension, without the point
    std::string namePattern;  // "%s%0<width>d.%s", only ever made by buildNamePattern
    std::int32_t firstIndex;
    std::int32_t lastIndex;   // inclusive
    double framesPerSecond;
    std::string outputName;
    unsigned char saveOutput;     // flags hold 1 (on) or 0 (off)
    unsigned char displayImages;
    unsigned char verbose;
    unsigned char waitForEscape;
};

// Writes every default: f000.jpg .. f010.jpg into video.avi at 15 fps, all flags on.
void setDefaultSettings(ConversionSettings* settings);

// The printf pattern base name, index zero-padded to `width`, point, extension.
std::string buildNamePattern(std::int32_t width);

// How many images the range names, first to last index: none when it is reversed. The
// image at position n (0 to count - 1) has the index firstIndex + n, which fits in 32 bits.
std::int64_t imagesInRange(const ConversionSettings& settings);

// The path of the image with this index. A path longer than the system's path limit
// cannot name a file, so it is returned empty rather than formed.
std::string formatImagePath(const ConversionSettings& settings, std::int32_t index);
