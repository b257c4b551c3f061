// Which codec a video gets, chosen by the container its file name asks for, and what that
// container can hold.
#pragma once

#include <string>
#include <vector>

struct VideoCodecChoice {
    const char* codecName;       // for messages: "Motion JPEG", "H.264", ...
    std::vector<int> fourccs;    // tried in this order until one opens
    // The frame rates the container stores so that a reader gets them back; outside them the
    // writer refuses, hangs, or writes a file with another rate or fewer frames.
    double lowestRate;
    double highestRate;
    // Narrower frames crash FFmpeg's Motion JPEG encoder (heap corruption).
    int narrowestWidth;
    // Wider or taller frames the encoder refuses, or writes a file no reader can open.
    int widestWidth;
    int tallestHeight;
    // Whether the container's index gives a reader the exact frame count; without one the
    // count a reader reports is an estimate, so frames must be counted.
    bool indexesFrames;
    // Whether frame times are stored in whole milliseconds with nothing that keeps the rate
    // itself: a reader then only guesses the rate (1000 fps for a few frames), so the rate is
    // judged by the frames' times.
    bool timesInMilliseconds;
};

// Chooses by the output name's extension, ignoring case. Returns false when the extension
// names no container seqcat can write.
bool chooseVideoCodec(const std::string& outputName, VideoCodecChoice* choice);

// The extension of a file name, with its point, as written ("" when there is none).
std::string fileExtensionOf(const std::string& fileName);
