#include "video_codec.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int fourcc(char c1, char c2, char c3, char c4) {
    return (c1 & 255) | ((c2 & 255) << 8) | ((c3 & 255) << 16) | ((c4 & 255) << 24);
}

struct Container {
    std::vector<std::string> extensions;  // lower case, with the point
    VideoCodecChoice codec;
};

// The limits were measured with OpenCV 4.6 and FFmpeg 5.1: the writer keeps rates to
// thousandths, Matroska, WebM and ASF count time in milliseconds, and below the lowest rate a
// reader cannot open the file or reads another rate. The largest sizes are per side, the other
// side 16 pixels: JPEG stores at most 65500, x264 takes at most 16384, VP8 16382 (VP9, its
// fallback, 16384), WMV2 far more. H.264 falls back to MPEG-4 Visual (mp4v) where no H.264
// encoder is installed.
const Container kContainers[] = {
    {{".avi"}, {"Motion JPEG", {fourcc('M', 'J', 'P', 'G')}, 0.002, 1000.0, 8, 65500, 65500,
                true, false}},
    {{".mp4", ".m4v", ".mov"},
     {"H.264", {fourcc('a', 'v', 'c', '1'), fourcc('m', 'p', '4', 'v')}, 0.002, 2147483647.0, 2,
      16384, 16384, true, false}},
    {{".mkv"},
     {"H.264", {fourcc('a', 'v', 'c', '1'), fourcc('m', 'p', '4', 'v')}, 0.002, 1000.0, 2, 16384,
      16384, false, false}},
    {{".webm"}, {"VP8", {fourcc('V', 'P', '8', '0'), fourcc('V', 'P', '9', '0')}, 0.09, 1000.0, 2,
                 16384, 16384, false, false}},
    {{".wmv", ".asf"},
     {"WMV2", {fourcc('W', 'M', 'V', '2')}, 1.0, 1000.0, 2, 657632, 1000000, false, true}},
};

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
    for (const Container& container : kContainers) {
        const auto& names = container.extensions;
        if (std::find(names.begin(), names.end(), extension) != names.end()) {
            *choice = container.codec;
            return true;
        }
    }
    return false;
}
