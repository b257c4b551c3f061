#include "video_codec.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct CodecCase {
    const char* outputName;
    const char* codecName;  // nullptr: no container is known for the name
    std::vector<std::string> fourccs;
};

// The four characters of each code, first character in the lowest byte as containers store it.
std::vector<std::string> charactersOf(const std::vector<int>& fourccs) {
    std::vector<std::string> codes;
    for (const int fourcc : fourccs) {
        std::string code;
        for (int shift = 0; shift < 32; shift += 8) {
            code += static_cast<char>((static_cast<unsigned>(fourcc) >> shift) & 0xffu);
        }
        codes.push_back(code);
    }
    return codes;
}

void PrintTo(const CodecCase& c, std::ostream* os) {
    *os << c.outputName;
}

class CodecChoice : public testing::TestWithParam<CodecCase> {};

TEST_P(CodecChoice, FollowsTheExtensionOfTheOutputName) {
    const CodecCase& c = GetParam();
    VideoCodecChoice choice{};
    const bool known = chooseVideoCodec(c.outputName, &choice);
    ASSERT_EQ(known, c.codecName != nullptr);
    if (!known) return;
    EXPECT_STREQ(choice.codecName, c.codecName);
    EXPECT_EQ(charactersOf(choice.fourccs), c.fourccs);
}

const std::vector<std::string> kMotionJpeg = {"MJPG"};
const std::vector<std::string> kH264 = {"avc1", "mp4v"};

INSTANTIATE_TEST_SUITE_P(
    Names, CodecChoice,
    testing::Values(
        CodecCase{"video.avi", "Motion JPEG", kMotionJpeg},
        CodecCase{"out.d/CLIP.AVI", "Motion JPEG", kMotionJpeg},
        CodecCase{"clip.Mp4", "H.264", kH264},
        CodecCase{"clip.webm", "VP8", {"VP80", "VP90"}},
        CodecCase{"clip.wmv", "WMV2", {"WMV2"}},
        CodecCase{"video", nullptr, {}},
        CodecCase{"clips.avi/video", nullptr, {}},
        CodecCase{"video.avi.part", nullptr, {}},
        CodecCase{"video.", nullptr, {}},
        CodecCase{"videoavi", nullptr, {}}));

TEST(FileExtension, IsTheLastPointOfTheFileNameAsWritten) {
    EXPECT_EQ(fileExtensionOf("a.b/clip.MP4"), ".MP4");
    EXPECT_EQ(fileExtensionOf("clip.tar.gz"), ".gz");
    EXPECT_EQ(fileExtensionOf("clips.d/video"), "");
    EXPECT_EQ(fileExtensionOf("video."), ".");
    EXPECT_EQ(fileExtensionOf(""), "");
}

}  // namespace
