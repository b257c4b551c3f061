// A finished video as the video library reads it back. Write errors inside the library never
// reach seqcat, so reading the file is where they show.
#pragma once

#include "video_codec.h"

#include <opencv2/core.hpp>

#include <string>

struct VideoContents {
    bool readable = false;  // false: no reader could open the file as a video
    long long frames = 0;
    double framesPerSecond = 0.0;
    cv::Size frameSize;
    // For a container that stores times in whole milliseconds: the last frame's time, which
    // gives the rate the file holds (framesPerSecond is then the average it makes).
    bool timesInMilliseconds = false;
    double lastFrameMilliseconds = 0.0;
};

// Reads the video at path as the codec's container keeps it. Where the container's index
// gives the exact frame count it is taken from there; otherwise the frames are counted.
VideoContents readVideoContents(const std::string& path, const VideoCodecChoice& codec);

// True when what was read back matches what was written: the frame count and size exactly, the
// rate to 0.1 % (to the millisecond of the last frame's time where times are whole
// milliseconds); otherwise whyNot says what the file holds against what was written.
bool contentsMatch(const VideoContents& readBack, const VideoContents& written,
                   std::string* whyNot);
