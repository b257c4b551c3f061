// The check of a finished video: read back through the video library, it must hold what was
// written. Write errors inside the library never reach seqcat, so this is where they show.
#pragma once

#include <opencv2/core.hpp>

#include <string>

struct WrittenVideo {
    long long frames;
    double framesPerSecond;
    cv::Size frameSize;
    bool indexesFrames;  // the container's index holds the frame count; else frames are counted
};

// True when the video at path holds exactly the frames written, at the rate (to 0.1 %) and
// size written; otherwise whyNot says what it holds against what was written.
bool readsBackAsWritten(const std::string& path, const WrittenVideo& written, std::string* whyNot);
