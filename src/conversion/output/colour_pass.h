// A finished video copied, packet for packet, into a file that says how its colours are to be
// read: the matrix, primaries, transfer and range OpenCV's writer used, in the stream where the
// codec has a place for them (H.264's sequence header) and in the container. A player that
// finds no such description guesses, and for pictures taller than 576 lines most guess BT.709,
// which shifts saturated colours by up to 40 levels. Where the container has an index (mp4,
// m4v, mov), the copy holds it first, so a player fed over a network can start at once.
// Nothing is decoded or encoded again: every frame decodes as before.
#pragma once

#include <string>

// Whether videos of this extension (any case) get the copy: the containers that can describe
// their colours. Motion JPEG in .avi is full-range BT.601 by its own definition, and ASF has no
// place for a description.
bool containerTakesColourDescription(const std::string& extension);

// The copy of one video, made beside it under a name of the same length and extension; removed
// when this is destroyed.
class ColourDescribedCopy {
public:
    explicit ColourDescribedCopy(const std::string& videoPath);
    ~ColourDescribedCopy();
    ColourDescribedCopy(const ColourDescribedCopy&) = delete;
    ColourDescribedCopy& operator=(const ColourDescribedCopy&) = delete;

    // Copies the video, whose container is chosen by `extension`, and reads the copy back.
    bool make(const std::string& extension, std::string* whyNot);

    const std::string& path() const { return path_; }

private:
    std::string videoPath_;
    std::string path_;  // empty until the file is created
};

// True when the video at path says its colours are what OpenCV's writer made them.
bool colourDescriptionReadsBack(const std::string& path, std::string* whyNot);
