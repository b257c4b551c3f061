// Loading one image of the sequence, and telling why when it cannot be loaded.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

enum class ImageLoad {
    kLoaded,          // perhaps decoded only in part: see LoadedImage::damage
    kUnavailable,     // missing, unreadable, or nothing a decoder can read: the sequence ends
    kOutOfResources,  // the process ran out of memory or file descriptors: the run cannot go on
};

struct LoadedImage {
    ImageLoad outcome = ImageLoad::kUnavailable;
    cv::Mat image;       // three-channel colour, when loaded (and needed: see FrameCopyPlan)
    std::string whyNot;  // why it was not loaded
    std::string damage;  // the decoder's complaint about an image it decoded only in part
    // The file itself, when it is a JPEG the video takes as it stands (see FrameCopyPlan).
    std::vector<std::uint8_t> jpeg;
};

LoadedImage loadColourImage(const std::string& path);

// Which images may go into the video as the files they are: whole JPEGs of a kind any Motion
// JPEG reader decodes alike (see isCopyableJpeg), of the video's frame size, for a video that
// takes encoded frames (empty size: none).
struct FrameCopyPlan {
    cv::Size jpegFrameSize;
    // Whether the image is shown, so decoded in full, which also finds damage inside its
    // data. A copied image that is not shown is not decoded at all: its headers are checked,
    // and its coded data read through to its end marker, which finds a file cut short (see
    // codedDataIsWhole) at a small fraction of a decoding's cost.
    bool decodeInFull = true;
};

// The image as loadColourImage loads it; when the plan copies it, its file's bytes too, and
// the image only when it is decoded in full.
LoadedImage loadFrameImage(const std::string& path, const FrameCopyPlan& plan);
