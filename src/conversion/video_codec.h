// Which codec a video gets, chosen by the container its file name asks for.
#pragma once

#include <string>
#include <vector>

struct VideoCodecChoice {
    const char* codecName;       // for messages: "Motion JPEG", "H.264", ...
    std::vector<int> fourccs;    // tried in this order until one opens
};

// Chooses by the output name's extension, ignoring case. Returns false when the extension
// names no container seqcat can write.
bool chooseVideoCodec(const std::string& outputName, VideoCodecChoice* choice);

// The extension of a file name, with its point, as written ("" when there is none).
std::string fileExtensionOf(const std::string& fileName);
