#include "jpeg_frame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Bytes text(const char* characters, std::size_t length) {
    return Bytes(characters, characters + length);
}

Bytes text(const char* characters) { return text(characters, std::strlen(characters)); }

Bytes segment(std::uint8_t marker, const Bytes& payload) {
    const std::size_t length = payload.size() + 2;
    return Bytes{0xFF, marker, static_cast<std::uint8_t>(length >> 8),
                 static_cast<std::uint8_t>(length)} +
           payload;
}

struct Component {
    Component(std::uint8_t id, std::uint8_t sampling) : id(id), sampling(sampling) {}
    std::uint8_t id;
    std::uint8_t sampling;  // horizontal << 4 | vertical
    std::uint8_t dcTable = 0;
};

// A picture of uniform grey: one quantisation table, and Huffman tables of one one-bit code
// each, so that every block is two bits (DC difference 0, end of block).
struct Picture {
    int width = 16;
    int height = 16;
    std::vector<Component> components{{1, 0x22}, {2, 0x11}, {3, 0x11}};
    std::uint8_t frameMarker = 0xC0;
    Bytes beforeFrame;
    Bytes afterFrame;
    std::uint8_t quantiser = 1;  // for every coefficient
    std::uint8_t dcCodes = 1;    // in the DC table's only length
    unsigned restartInterval = 0;
};

Bytes frameHeader(const Picture& picture) {
    Bytes payload{8, static_cast<std::uint8_t>(picture.height >> 8),
                  static_cast<std::uint8_t>(picture.height),
                  static_cast<std::uint8_t>(picture.width >> 8),
                  static_cast<std::uint8_t>(picture.width),
                  static_cast<std::uint8_t>(picture.components.size())};
    for (const Component& component : picture.components) {
        payload = payload + Bytes{component.id, component.sampling, 0};
    }
    return segment(picture.frameMarker, payload);
}

Bytes tables(const Picture& picture) {
    Bytes quantisation(65, picture.quantiser);
    quantisation[0] = 0;
    Bytes dc(18, 0), ac(18, 0);
    dc[1] = picture.dcCodes;
    if (picture.dcCodes == 0) dc.pop_back();
    ac[0] = 0x10;
    ac[1] = 1;
    Bytes result = segment(0xDB, quantisation) + segment(0xC4, dc) + segment(0xC4, ac);
    if (picture.restartInterval > 0) {
        const auto interval = static_cast<std::uint8_t>(picture.restartInterval);
        result = result + segment(0xDD, Bytes{0, interval});
    }
    return result;
}

Bytes scanHeader(const Picture& picture) {
    Bytes payload{static_cast<std::uint8_t>(picture.components.size())};
    for (const Component& component : picture.components) {
        payload = payload + Bytes{component.id, static_cast<std::uint8_t>(component.dcTable << 4)};
    }
    return segment(0xDA, payload + Bytes{0, 63, 0});
}

// The coded data of one picture unit (16x16 at 4:2:0): six blocks of two bits.
const Bytes kUnit{0x00, 0x0F};

Bytes headers(const Picture& picture) {
    return Bytes{0xFF, 0xD8} + picture.beforeFrame + tables(picture) + frameHeader(picture) +
           picture.afterFrame + scanHeader(picture);
}

const Bytes kEnd{0xFF, 0xD9};

// A whole file of the picture: its coded data two bits a block, then the end marker.
Bytes jpeg(const Picture& picture = {}) {
    unsigned long long blocks = 0;
    int widest = 1, highest = 1;
    for (const Component& component : picture.components) {
        widest = std::max(widest, component.sampling >> 4);
        highest = std::max(highest, component.sampling & 0x0F);
    }
    const unsigned long long units = static_cast<unsigned long long>(
                                         (picture.width + 8 * widest - 1) / (8 * widest)) *
                                     ((picture.height + 8 * highest - 1) / (8 * highest));
    for (const Component& component : picture.components) {
        blocks += units * (component.sampling >> 4) * (component.sampling & 0x0F);
    }
    return headers(picture) + Bytes((blocks * 2 + 7) / 8, 0) + kEnd;
}

// The file of the picture given (the default one when none is) after change(picture).
template <typename Change>
Bytes jpegChanged(Change change, Picture picture = {}) {
    change(picture);
    return jpeg(picture);
}

Picture sampled(std::uint8_t luma, std::uint8_t chroma) {
    Picture picture;
    picture.components = {{1, luma}, {2, chroma}, {3, chroma}};
    return picture;
}

Picture named(std::uint8_t first, std::uint8_t second, std::uint8_t third,
              std::uint8_t sampling = 0x11) {
    Picture picture;
    picture.components = {{first, sampling}, {second, 0x11}, {third, 0x11}};
    return picture;
}

Picture sized(int width, int height) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    return picture;
}

// At 4:4:4, where the video decoder takes an Adobe transform 0 for RGB.
Picture withSegments(Bytes beforeFrame, Bytes afterFrame = {}) {
    Picture picture = sampled(0x11, 0x11);
    picture.beforeFrame = std::move(beforeFrame);
    picture.afterFrame = std::move(afterFrame);
    return picture;
}

Bytes adobe(std::uint8_t transform, std::uint8_t marker = 0xEE) {
    return segment(marker, text("Adobe\0\x64\0\0\0\0", 11) + Bytes{transform});
}

const Bytes kJfif = segment(0xE0, text("JFIF\0\1\1\0\0\1\0\1\0\0", 14));

Bytes exifOrientation(std::uint8_t orientation, const char* afterExif = "\0\0") {
    return segment(0xE1, text("Exif") + text(afterExif, 2) +
                             text("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0", 19) +
                             Bytes{orientation, 0, 0, 0, 0, 0, 0});
}

Picture restarted(unsigned interval) {
    Picture picture = sized(48, 16);  // three units
    picture.restartInterval = interval;
    return picture;
}

Bytes restartsBetweenUnits(std::initializer_list<std::uint8_t> restarts) {
    Bytes data = kUnit;
    for (std::uint8_t restart : restarts) data = data + Bytes{0xFF, restart} + kUnit;
    return data;
}

struct FileCase {
    const char* name;
    Bytes file;
    bool copied;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class JpegCopy : public testing::TestWithParam<FileCase> {};

TEST_P(JpegCopy, TakesOnlyFilesBothDecodersReadAlike) {
    const FileCase& c = GetParam();
    CopyableJpeg jpeg;
    EXPECT_EQ(isCopyableJpeg(c.file, &jpeg) && codedDataIsWhole(c.file, jpeg), c.copied);
}

// Frames both decoders read as the same YCbCr picture, and each kind of file one of them reads
// otherwise (or not at all).
INSTANTIATE_TEST_SUITE_P(
    Headers, JpegCopy,
    testing::Values(
        FileCase{"copied_4_2_0", jpeg(), true},
        FileCase{"copied_4_2_2", jpeg(sampled(0x21, 0x11)), true},
        FileCase{"copied_4_4_4", jpeg(sampled(0x11, 0x11)), true},
        FileCase{"copied_4_2_2_with_chroma_1x2", jpeg(sampled(0x22, 0x12)), true},
        FileCase{"copied_4_4_4_with_all_1x2", jpeg(sampled(0x12, 0x12)), true},
        FileCase{"copied_with_jfif_adobe_ycbcr_and_upright_exif",
                 jpeg(withSegments(kJfif + adobe(1) + exifOrientation(1))), true},
        FileCase{"copied_65500_wide", jpeg(sized(65500, 16)), true},
        FileCase{"copied_16000_square", jpeg(sized(16000, 16000)), true},
        FileCase{"refused_4_4_0", jpeg(sampled(0x12, 0x11)), false},
        FileCase{"refused_4_1_1", jpeg(sampled(0x41, 0x11)), false},
        FileCase{"refused_chroma_sampled_unlike",
                 jpegChanged([](Picture& picture) {
                     picture.components = {{1, 0x22}, {2, 0x11}, {3, 0x21}};
                 }),
                 false},
        FileCase{"refused_progressive",
                 jpegChanged([](Picture& picture) { picture.frameMarker = 0xC2; }), false},
        FileCase{"refused_arithmetic",
                 jpegChanged([](Picture& picture) { picture.frameMarker = 0xC9; }), false},
        FileCase{"refused_greyscale",
                 jpegChanged([](Picture& picture) { picture.components = {{1, 0x11}}; }), false},
        FileCase{"refused_cmyk",
                 jpegChanged(
                     [](Picture& picture) {
                         picture.components = {{1, 0x11}, {2, 0x11}, {3, 0x11}, {4, 0x11}};
                     },
                     withSegments(adobe(2))),
                 false},
        FileCase{"refused_rgb_ids", jpeg(named('R', 'G', 'B')), false},
        FileCase{"refused_rgb_ids_with_jfif",
                 jpegChanged([](Picture& picture) { picture.beforeFrame = kJfif; },
                             named('R', 'G', 'B')),
                 false},
        FileCase{"refused_rgb_ids_with_adobe_ycbcr_4_2_2",
                 jpegChanged([](Picture& picture) { picture.beforeFrame = adobe(1); },
                             named('R', 'G', 'B', 0x21)),
                 false},
        FileCase{"refused_adobe_rgb", jpeg(withSegments(adobe(0))), false},
        FileCase{"refused_adobe_rgb_in_app13", jpeg(withSegments(adobe(0, 0xED))), false},
        FileCase{"refused_adobe_ycbcr_in_app13_after_adobe_rgb",
                 jpeg(withSegments(adobe(0) + adobe(1, 0xED))), false},
        FileCase{"refused_adobe_rgb_before_the_frame_ycbcr_after",
                 jpeg(withSegments(adobe(0), adobe(1))), false},
        FileCase{"refused_adobe_after_the_frame", jpeg(withSegments({}, adobe(1))), false},
        FileCase{"refused_adobe_short",
                 jpeg(withSegments(segment(0xEE, text("Adobe\0\x64\0\0\0\0", 11)))), false},
        FileCase{"refused_jfif_short", jpeg(withSegments(segment(0xE0, text("JFIF\0", 5)))),
                 false},
        FileCase{"refused_jfif_pixels_not_square",
                 jpeg(withSegments(segment(0xE0, text("JFIF\0\1\1\0\0\1\0\2\0\0", 14)))), false},
        FileCase{"refused_avi1_short", jpeg(withSegments(segment(0xE0, text("AVI1")))), false},
        FileCase{"refused_ljif_short",
                 jpeg(withSegments(segment(0xE0, text("LJIF\0\1\0\0\0\0\0\0", 12)))), false},
        FileCase{"refused_ljif_colour_space_0",
                 jpeg(withSegments(segment(0xE0, text("LJIF\0\1\0\0\0\0\0\0\0", 13)))), false},
        FileCase{"refused_ljif_colour_space_2",
                 jpeg(withSegments(segment(0xE0, text("LJIF\0\1\0\0\0\0\0\0\2", 13)))), false},
        FileCase{"refused_application_segment_without_identifier",
                 jpeg(withSegments(segment(0xE2, Bytes{0xFF, 0xDB}))), false},
        FileCase{"refused_exif_short", jpeg(withSegments(segment(0xE1, text("Exif")))), false},
        FileCase{"refused_exif_orientation_6", jpeg(withSegments(exifOrientation(6))), false},
        FileCase{"refused_exif_orientation_6_after_other_bytes",
                 jpeg(withSegments(exifOrientation(6, "XX"))), false},
        FileCase{"refused_limited_range_comment",
                 jpeg(withSegments(segment(0xFE, text("CS=ITU601")))), false},
        FileCase{"refused_upside_down_comment",
                 jpeg(withSegments(segment(0xFE, text("Metasoft MJPEG Codec")))), false},
        FileCase{"refused_height_from_a_line_count", jpeg(sized(16, 0)), false},
        FileCase{"refused_undefined_table",
                 jpegChanged([](Picture& picture) { picture.components[1].dcTable = 1; }), false},
        FileCase{"refused_quantiser_0",
                 jpegChanged([](Picture& picture) { picture.quantiser = 0; }), false},
        FileCase{"refused_empty_huffman_table",
                 jpegChanged([](Picture& picture) { picture.dcCodes = 0; }), false},
        FileCase{"refused_16384_square", jpeg(sized(16384, 16384)), false},
        FileCase{"refused_65501_wide", jpeg(sized(65501, 16)), false},
        FileCase{"refused_65501_high", jpeg(sized(16, 65501)), false}));

// Coded data that ends as it must, and data cut short or followed by more.
INSTANTIATE_TEST_SUITE_P(
    WholeData, JpegCopy,
    testing::Values(
        FileCase{"copied_restarts_in_order_and_number",
                 headers(restarted(1)) + restartsBetweenUnits({0xD0, 0xD1}) + kEnd, true},
        FileCase{"copied_restart_every_second_unit",
                 headers(restarted(2)) + Bytes{0, 0, 0} + Bytes{0xFF, 0xD0} + kUnit + kEnd, true},
        FileCase{"refused_restarts_out_of_order",
                 headers(restarted(1)) + restartsBetweenUnits({0xD1, 0xD0}) + kEnd, false},
        FileCase{"refused_restart_missing",
                 headers(restarted(1)) + restartsBetweenUnits({0xD0}) + kUnit + kEnd, false},
        FileCase{"refused_restart_too_many",
                 headers(restarted(1)) + restartsBetweenUnits({0xD0, 0xD1, 0xD2}) + kEnd, false},
        FileCase{"refused_cut_short", [] {
                     Bytes file = jpeg();
                     file.resize(file.size() - 2);
                     return file;
                 }(), false},
        FileCase{"refused_cut_short_then_ended",
                 headers(sized(64, 64)) + kUnit + kUnit + kEnd, false},
        FileCase{"refused_data_after_the_end", jpeg() + Bytes{0}, false}));

}  // namespace
