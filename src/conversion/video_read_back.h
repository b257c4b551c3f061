// A finished video as the video library reads it back. Write errors inside the library never
// reach seqcat, so reading the file is where they show.
#pragma once

#include <opencv2/core.hpp>

#include <string>

struct VideoContents {
    bool readable = false;  // false: no reader could open the file as a video
    long long frames = 0;
    double framesPerSecond = 0.0;
    cv::Size frameSize;
};

// Reads the video at path. With indexesFrames the frame count is taken from the container's
// index; without it the index (if any) only estimates it, so the frames are counted.
VideoContents readVideoContents(const std::string& path, bool indexesFrames);

// True when the contents match what was written, the rate to 0.1 %; otherwise whyNot says
// what the file holds against what was written.
bool contentsMatch(const VideoContents& contents, const VideoContents& written,
                   std::string* whyNot);
