// Loading one image of the sequence, and telling why when it cannot be loaded.
#pragma once

#include <opencv2/core.hpp>

#include <string>

enum class ImageLoad {
    loaded,            // perhaps decoded only in part: see LoadedImage::damage
    unavailable,       // missing, unreadable, or nothing a decoder can read: the sequence ends
    outOfResources,    // the process ran out of memory or file descriptors: the run cannot go on
};

struct LoadedImage {
    ImageLoad outcome = ImageLoad::unavailable;
    cv::Mat image;       // three-channel colour, when loaded
    std::string whyNot;  // why it was not loaded
    std::string damage;  // the decoder's complaint about an image it decoded only in part
};

LoadedImage loadColourImage(const std::string& path);
