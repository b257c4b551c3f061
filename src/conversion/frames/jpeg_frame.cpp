#include "jpeg_frame.h"

#include <array>
#include <climits>
#include <cstring>

namespace {

// JPEG marker codes (the byte after 0xFF).
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kFirstRestart = 0xD0;
constexpr std::uint8_t kLastRestart = 0xD7;
constexpr std::uint8_t kBaselineFrame = 0xC0;  // SOF0
constexpr std::uint8_t kHuffmanTables = 0xC4;
constexpr std::uint8_t kStartOfScan = 0xDA;
constexpr std::uint8_t kQuantisationTables = 0xDB;
constexpr std::uint8_t kRestartInterval = 0xDD;
constexpr std::uint8_t kApplication0 = 0xE0;   // JFIF
constexpr std::uint8_t kApplication1 = 0xE1;   // Exif
constexpr std::uint8_t kApplication14 = 0xEE;  // Adobe
constexpr std::uint8_t kLastApplication = 0xEF;
constexpr std::uint8_t kComment = 0xFE;

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr unsigned kUpright = 1;
constexpr int kComponents = 3;
constexpr int kAdobeYCbCr = 1;
constexpr std::size_t kAdobeTransformAt = 11;
constexpr int kLargestLibjpegSide = 65500;

// Application segments whose identifier the video decoder acts on in any APP marker. Shorter
// than its fixed fields, one is read on into the next segment, which is then misread, or it is
// honoured by one decoder and ignored by the other: a short one rules a copy out.
struct KnownIdentifier {
    const char* text;
    std::size_t fixedFields;  // the segment's smallest size, identifier included
};
constexpr KnownIdentifier kKnownIdentifiers[] = {
    {"JFIF", 14},   // version, density unit, densities, thumbnail size
    {"AVI1", 14},   // field polarity, a reserved byte, two field sizes
    {"Adobe", 12},  // version, two flag words, colour transform
};
constexpr std::size_t kIdentifierLength = 4;
constexpr std::size_t kJfifDensitiesAt = 8;  // horizontal, then vertical

// Comments the video decoder takes as instructions: limited-range colour, a picture upside
// down. Libjpeg ignores them.
constexpr const char* kInstructingComments[] = {
    "CS=ITU601",
    "Metasoft MJPEG Codec",
    "Intel(R) JPEG Library, version 1",
    "MULTISCOPE II",  // pixels twice as high as wide
};

class ByteView {
public:
    ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t size() const { return size_; }
    std::uint8_t at(std::size_t offset) const { return data_[offset]; }
    unsigned bigEndian16(std::size_t offset) const {
        return data_[offset] << 8 | data_[offset + 1];
    }
    bool startsWith(const char* text, std::size_t length) const {
        return size_ >= length && std::memcmp(data_, text, length) == 0;
    }
    ByteView from(std::size_t offset) const { return ByteView(data_ + offset, size_ - offset); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// The orientation an Exif block (after its "Exif\0\0") gives, 1 when it names none, 0 when it
// cannot be read: the decoder's own reading of it is then trusted, not a copy.
unsigned exifOrientation(ByteView tiff) {
    if (tiff.size() < 8) return 0;
    const bool littleEndian = tiff.startsWith("II*\0", 4);
    if (!littleEndian && !tiff.startsWith("MM\0*", 4)) return 0;
    auto read16 = [&](std::size_t offset) -> std::uint32_t {
        return littleEndian ? tiff.at(offset) | tiff.at(offset + 1) << 8 : tiff.bigEndian16(offset);
    };
    auto read32 = [&](std::size_t offset) -> std::uint32_t {
        return littleEndian ? read16(offset) | read16(offset + 2) << 16
                            : read16(offset) << 16 | read16(offset + 2);
    };
    const std::uint32_t directory = read32(4);
    if (directory > tiff.size() - 2) return 0;
    const std::uint32_t entries = read16(directory);
    if (entries > (tiff.size() - directory - 2) / 12) return 0;
    for (std::uint32_t entry = 0; entry < entries; ++entry) {
        const std::size_t at = directory + 2 + 12 * entry;
        if (read16(at) == kOrientationTag) return read16(at + 8);
    }
    return kUpright;
}

// What the headers before the scan say, as far as a copy depends on it.
struct Headers {
    bool frameSeen = false;
    bool frameCopyable = false;
    int width = 0;
    int height = 0;
    std::array<std::uint8_t, kComponents> ids{};
    std::array<std::uint8_t, kComponents> quantisationTables{};
    unsigned lumaSampling = 0;    // horizontal << 4 | vertical
    unsigned chromaSampling = 0;
    std::array<bool, 4> quantisationDefined{};
    std::array<std::array<bool, 2>, 2> huffmanDefined{};  // [DC, AC][table]
    unsigned restartInterval = 0;
    int adobeTransform = -1;  // none: the colour space follows the component ids
    bool turned = false;
};

// Sampling factors both decoders read as 4:2:0, 4:2:2 or 4:4:4: each factor 1 or 2, and luma
// over chroma 2x2, 2x1 or 1x1, as other encoders than libjpeg's write them too (4:2:2 as 2x2
// with chroma 1x2, say).
bool samplingIsCopyable(unsigned luma, unsigned chroma) {
    const unsigned lumaWide = luma >> 4, lumaHigh = luma & 0x0F;
    const unsigned chromaWide = chroma >> 4, chromaHigh = chroma & 0x0F;
    auto oneOrTwo = [](unsigned factor) { return factor == 1 || factor == 2; };
    if (!oneOrTwo(lumaWide) || !oneOrTwo(lumaHigh) || !oneOrTwo(chromaWide) ||
        !oneOrTwo(chromaHigh) || lumaWide % chromaWide != 0 || lumaHigh % chromaHigh != 0) {
        return false;
    }
    const unsigned across = lumaWide / chromaWide, down = lumaHigh / chromaHigh;
    return across >= down;
}

// Libjpeg refuses a side over 65500; the video decoder, a picture whose rows with their margin
// cannot all be addressed with an int.
bool sizeIsDecodable(int width, int height) {
    if (width <= 0 || height <= 0 || width > kLargestLibjpegSide || height > kLargestLibjpegSide) {
        return false;
    }
    const unsigned long long rowBytes = 8ull * width + 128 * 8;
    return rowBytes * (height + 128ull) < INT_MAX;
}

void readBaselineFrame(ByteView segment, Headers* headers) {
    headers->frameSeen = true;
    if (segment.size() != 6 + 3 * kComponents || segment.at(0) != 8 ||
        segment.at(5) != kComponents) {
        return;
    }
    headers->height = static_cast<int>(segment.bigEndian16(1));
    headers->width = static_cast<int>(segment.bigEndian16(3));
    for (int component = 0; component < kComponents; ++component) {
        headers->ids[component] = segment.at(6 + 3 * component);
        headers->quantisationTables[component] = segment.at(8 + 3 * component);
    }
    headers->lumaSampling = segment.at(7);
    headers->chromaSampling = segment.at(10);
    const auto& ids = headers->ids;
    const bool idsDistinct = ids[0] != ids[1] && ids[0] != ids[2] && ids[1] != ids[2];
    // The video decoder takes these ids for RGB whatever a JFIF or Adobe segment says.
    const bool namedRgb = ids[0] == 'R' && ids[1] == 'G' && ids[2] == 'B';
    headers->frameCopyable = sizeIsDecodable(headers->width, headers->height) &&
                             segment.at(13) == headers->chromaSampling &&
                             samplingIsCopyable(headers->lumaSampling, headers->chromaSampling) &&
                             idsDistinct && !namedRgb;
}

// 8-bit tables only, as a baseline frame has them, and no quantiser 0: some versions of the
// video decoder refuse a table that holds one, and decode with another.
bool readQuantisationTables(ByteView segment, Headers* headers) {
    for (std::size_t at = 0; at < segment.size(); at += 1 + 64) {
        const unsigned precisionAndTable = segment.at(at);
        if (precisionAndTable > 3 || at + 1 + 64 > segment.size()) return false;
        for (std::size_t value = at + 1; value < at + 1 + 64; ++value) {
            if (segment.at(value) == 0) return false;
        }
        headers->quantisationDefined[precisionAndTable] = true;
    }
    return true;
}

bool readHuffmanTables(ByteView segment, Headers* headers) {
    for (std::size_t at = 0; at < segment.size();) {
        const unsigned kind = segment.at(at) >> 4;
        const unsigned table = segment.at(at) & 0x0F;
        if (kind > 1 || table > 1 || at + 17 > segment.size()) return false;
        // The code lengths must leave room for every code, none of them all ones, as the
        // decoder requires; a DC code's value is a bit count of at most 15.
        unsigned codes = 0;
        unsigned long nextCode = 0;
        for (unsigned length = 1; length <= 16; ++length) {
            codes += segment.at(at + length);
            nextCode += segment.at(at + length);
            if (nextCode >= 1ul << length) return false;
            nextCode <<= 1;
        }
        // A table with no codes decodes no block in either decoder.
        if (codes == 0 || codes > 256 || at + 17 + codes > segment.size()) return false;
        for (std::size_t symbol = 0; kind == 0 && symbol < codes; ++symbol) {
            if (segment.at(at + 17 + symbol) > 15) return false;
        }
        headers->huffmanDefined[kind][table] = true;
        at += 17 + codes;
    }
    return true;
}

// The scan's header: all three components in the frame's order, each with defined tables,
// and the whole spectrum at full precision, as baseline has it.
bool scanIsCopyable(ByteView segment, const Headers& headers) {
    if (!headers.frameCopyable || segment.size() != 4 + 2 * kComponents ||
        segment.at(0) != kComponents) {
        return false;
    }
    for (int component = 0; component < kComponents; ++component) {
        const unsigned tables = segment.at(2 + 2 * component);
        const unsigned dc = tables >> 4;
        const unsigned ac = tables & 0x0F;
        if (segment.at(1 + 2 * component) != headers.ids[component] || dc > 1 || ac > 1 ||
            !headers.huffmanDefined[0][dc] || !headers.huffmanDefined[1][ac] ||
            headers.quantisationTables[component] > 3 ||
            !headers.quantisationDefined[headers.quantisationTables[component]]) {
            return false;
        }
    }
    const std::size_t spectrum = 1 + 2 * kComponents;
    return segment.at(spectrum) == 0 && segment.at(spectrum + 1) == 63 &&
           segment.at(spectrum + 2) == 0;
}

bool startsWith(ByteView bytes, const char* text) {
    return bytes.startsWith(text, std::strlen(text));
}

// An application segment, as far as either decoder reads it. Libjpeg takes an Adobe colour
// transform only from APP14; the video decoder from any APP segment, and only before the frame
// header: only that one, where both read it, is honoured. Each reading below keeps to the
// segment's bounds itself, so that what is too short is for the table alone to say.
bool readApplicationSegment(std::uint8_t marker, ByteView segment, Headers* headers) {
    // Too short for an identifier, it is damage to the video decoder, which then looks for the
    // next marker inside it.
    if (segment.size() < kIdentifierLength) return false;
    for (const KnownIdentifier& known : kKnownIdentifiers) {
        if (startsWith(segment, known.text) && segment.size() < known.fixedFields) {
            return false;
        }
    }
    if (startsWith(segment, "Adobe")) {
        if (marker != kApplication14 || headers->frameSeen) return false;
        if (segment.size() > kAdobeTransformAt) {
            headers->adobeTransform = segment.at(kAdobeTransformAt);
        }
    }
    // A lossless-JPEG segment names a colour space to the video decoder: RGB, or one it
    // reports as unknown.
    if (startsWith(segment, "LJIF")) return false;
    // The video decoder shows pixels as wide as the densities say; libjpeg's are square.
    if (startsWith(segment, "JFIF") && segment.size() >= kJfifDensitiesAt + 4 &&
        segment.bigEndian16(kJfifDensitiesAt) != segment.bigEndian16(kJfifDensitiesAt + 2)) {
        return false;
    }
    // The video decoder reads a TIFF header after any "Exif" and two bytes.
    if (marker == kApplication1 && startsWith(segment, "Exif")) {
        headers->turned = headers->turned || !segment.startsWith("Exif\0\0", 6) ||
                          exifOrientation(segment.from(6)) != kUpright;
    }
    return true;
}

bool commentIsPlain(ByteView segment) {
    for (const char* instruction : kInstructingComments) {
        if (startsWith(segment, instruction)) return false;
    }
    return true;
}

// Reads one header segment; false when it rules a copy out.
bool readSegment(std::uint8_t marker, ByteView segment, Headers* headers) {
    switch (marker) {
    case kBaselineFrame:
        if (headers->frameSeen) return false;
        readBaselineFrame(segment, headers);
        return true;
    case kQuantisationTables:
        return readQuantisationTables(segment, headers);
    case kHuffmanTables:
        return readHuffmanTables(segment, headers);
    case kRestartInterval:
        if (segment.size() != 2) return false;
        headers->restartInterval = segment.bigEndian16(0);
        return true;
    case kComment:
        return commentIsPlain(segment);
    default:
        if (marker >= kApplication0 && marker <= kLastApplication) {
            return readApplicationSegment(marker, segment, headers);
        }
        // Any other marker (another kind of frame, arithmetic coding, a line count) rules a
        // copy out.
        return false;
    }
}

unsigned long codedUnits(const Headers& headers) {
    const unsigned long unitWidth = 8 * (headers.lumaSampling >> 4);
    const unsigned long unitHeight = 8 * (headers.lumaSampling & 0x0F);
    return ((headers.width + unitWidth - 1) / unitWidth) *
           ((headers.height + unitHeight - 1) / unitHeight);
}

unsigned blocksPerUnit(unsigned sampling) { return (sampling >> 4) * (sampling & 0x0F); }

}  // namespace

bool isCopyableJpeg(const std::vector<std::uint8_t>& file, CopyableJpeg* jpeg) {
    const ByteView bytes(file.data(), file.size());
    if (bytes.size() < 4 || bytes.at(0) != 0xFF || bytes.at(1) != kStartOfImage) return false;
    Headers headers;
    std::size_t at = 2;
    for (;;) {
        if (at >= bytes.size() || bytes.at(at) != 0xFF) return false;
        while (at < bytes.size() && bytes.at(at) == 0xFF) ++at;  // fill bytes
        if (at + 3 > bytes.size()) return false;
        const std::uint8_t marker = bytes.at(at);
        const std::size_t length = bytes.bigEndian16(at + 1);
        if (length < 2 || at + 1 + length > bytes.size()) return false;
        const ByteView segment(file.data() + at + 3, length - 2);
        at += 1 + length;
        if (marker == kStartOfScan) {
            if (!scanIsCopyable(segment, headers)) return false;
            break;
        }
        if (!readSegment(marker, segment, &headers)) return false;
    }
    const bool yCbCr = headers.adobeTransform < 0 || headers.adobeTransform == kAdobeYCbCr;
    if (headers.turned || !yCbCr) return false;
    jpeg->width = headers.width;
    jpeg->height = headers.height;
    jpeg->scanStart = at;
    jpeg->blocks = codedUnits(headers) * (blocksPerUnit(headers.lumaSampling) +
                                          2 * blocksPerUnit(headers.chromaSampling));
    jpeg->restartMarkers =
        headers.restartInterval == 0
            ? 0
            : (codedUnits(headers) + headers.restartInterval - 1) / headers.restartInterval - 1;
    return true;
}

bool codedDataIsWhole(const std::vector<std::uint8_t>& file, const CopyableJpeg& jpeg) {
    const std::uint8_t* const end = file.data() + file.size();
    const std::uint8_t* at = file.data() + jpeg.scanStart;
    // Every block takes two codes of a bit at least, one for its DC and one for its AC values.
    if ((file.size() - jpeg.scanStart) * 4 < jpeg.blocks) return false;  // cut short
    unsigned long restarts = 0;
    for (;;) {
        const auto* marker = static_cast<const std::uint8_t*>(std::memchr(at, 0xFF, end - at));
        if (marker == nullptr || marker + 1 == end) return false;  // cut short
        at = marker + 1;
        const std::uint8_t code = *at;
        if (code == 0x00 || code == 0xFF) {
            // A stuffed 0xFF of the data, or a fill byte before a marker.
            if (code == 0x00) ++at;
        } else if (code >= kFirstRestart && code <= kLastRestart) {
            if (code != kFirstRestart + restarts % 8 || ++restarts > jpeg.restartMarkers) {
                return false;
            }
            ++at;
        } else {
            return code == kEndOfImage && at + 1 == end && restarts == jpeg.restartMarkers;
        }
    }
}
