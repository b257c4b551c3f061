#include "video_codec.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

int fourccOf(const char (&code)[5]) {
    return static_cast<std::uint8_t>(code[0]) | static_cast<std::uint8_t>(code[1]) << 8 |
           static_cast<std::uint8_t>(code[2]) << 16 | static_cast<std::uint8_t>(code[3]) << 24;
}

struct CodecCase {
    const char* outputName;
    const char* codecName;  // nullptr: no container is known for the name
    std::vector<int> fourccs;
};

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
    EXPECT_EQ(choice.fourccs, c.fourccs);
}

const std::vector<int> kMotionJpeg = {fourccOf("MJPG")};
const std::vector<int> kH264 = {fourccOf("avc1"), fourccOf("mp4v")};

INSTANTIATE_TEST_SUITE_P(
    Names, CodecChoice,
    testing::Values(
        CodecCase{"video.avi", "Motion JPEG", kMotionJpeg},
        CodecCase{"out.d/CLIP.AVI", "Motion JPEG", kMotionJpeg},
        CodecCase{"clip.Mp4", "H.264", kH264},
        CodecCase{"clip.webm", "VP8", {fourccOf("VP80"), fourccOf("VP90")}},
        CodecCase{"clip.wmv", "WMV2", {fourccOf("WMV2")}},
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
