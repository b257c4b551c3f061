#include "video_codec.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int fourcc(char c1, char c2, char c3, char c4) {
    return (c1 & 255) | ((c2 & 255) << 8) | ((c3 & 255) << 16) | ((c4 & 255) << 24);
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::string fileExtensionOf(const std::string& fileName) {
    const std::size_t point = fileName.rfind('.');
    const std::size_t slash = fileName.rfind('/');
    if (point == std::string::npos || (slash != std::string::npos && point < slash)) return "";
    return fileName.substr(point);
}

bool chooseVideoCodec(const std::string& outputName, VideoCodecChoice* choice) {
    const std::string extension = lowerCase(fileExtensionOf(outputName));
    if (extension == ".avi") {
        *choice = {"Motion JPEG", {fourcc('M', 'J', 'P', 'G')}};
        return true;
    }
    if (extension == ".mp4" || extension == ".m4v" || extension == ".mov" || extension == ".mkv") {
        // Falls back to MPEG-4 Part 2 where no H.264 encoder is installed.
        *choice = {"H.264", {fourcc('a', 'v', 'c', '1'), fourcc('m', 'p', '4', 'v')}};
        return true;
    }
    if (extension == ".webm") {
        *choice = {"VP8", {fourcc('V', 'P', '8', '0'), fourcc('V', 'P', '9', '0')}};
        return true;
    }
    if (extension == ".wmv" || extension == ".asf") {
        *choice = {"WMV2", {fourcc('W', 'M', 'V', '2')}};
        return true;
    }
    return false;
}
