// Whether a JPEG file can be a frame of a Motion JPEG video byte for byte, as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct CopyableJpeg {
    int width = 0;
    int height = 0;
    std::size_t scanStart = 0;         // where the picture's coded data begins
    unsigned long restartMarkers = 0;  // how many the coded data holds when it is whole
    unsigned long long blocks = 0;     // of 8x8 samples, in all components
};

// A frame any Motion JPEG reader decodes as seqcat's image decoder shows it: baseline, 8 bits,
// three components in YCbCr (not RGB, not CMYK, not named 'R', 'G', 'B', nothing in its
// application segments or comments that a reader takes otherwise) sampled 4:2:0, 4:2:2 or
// 4:4:4 in one scan, every table it uses defined and holding codes, of a size every reader
// takes, and upright (no EXIF orientation that turns or mirrors it).
// Only the headers are read; whether the coded data is whole is for the decoder, or for
// codedDataIsWhole, to find.
bool isCopyableJpeg(const std::vector<std::uint8_t>& file, CopyableJpeg* jpeg);

// Reads the coded data to the end of the file: true when nothing but restart markers, in
// their order and number, interrupts it, it is long enough to hold every block, and it ends
// with the end-of-image marker as the file's last two bytes. A file cut short, or with anything
// after its picture, fails; damage that keeps that shape passes (only a decoding finds it).
bool codedDataIsWhole(const std::vector<std::uint8_t>& file, const CopyableJpeg& jpeg);
