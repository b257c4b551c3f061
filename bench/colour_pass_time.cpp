// Times the copy seqcat makes of a finished video to describe its colours, and its taking the
// video's place, on a video the bare loop wrote. Prints the seconds on stdout.
//
//     seqcat_colour_pass_time VIDEO   (VIDEO named as seqcat's new files: NAME.seqcat-XXXXXX.EXT)
#include "output/colour_pass.h"
#include "output/video_codec.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seqcat_colour_pass_time VIDEO\n");
        return 2;
    }
    const std::string video = argv[1];
    const auto start = std::chrono::steady_clock::now();
    std::string whyNot;
    {
        ColourDescribedCopy copy(video);
        if (!copy.make(fileExtensionOf(video), &whyNot)) {
            std::fprintf(stderr, "seqcat_colour_pass_time: %s\n", whyNot.c_str());
            return 1;
        }
        // seqcat copies the bytes into the video's own file; so does this, by the C++ library.
        std::filesystem::copy_file(copy.path(), video,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    if (!colourDescriptionReadsBack(video, &whyNot)) {
        std::fprintf(stderr, "seqcat_colour_pass_time: %s\n", whyNot.c_str());
        return 1;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", seconds.count());
    return 0;
}
