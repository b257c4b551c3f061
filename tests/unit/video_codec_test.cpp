#include "video_codec.h"

#include <cstdint>
#include <iomanip>
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
    double framesPerSecond;
    const char* codecName;  // nullptr: no container is known for the name
    std::vector<int> fourccs;
    bool needsEvenSize;
    VideoBackEnd backEnd;
};

void PrintTo(const CodecCase& c, std::ostream* os) {
    *os << c.outputName << " at " << std::setprecision(10) << c.framesPerSecond;
}

class CodecChoice : public testing::TestWithParam<CodecCase> {};

TEST_P(CodecChoice, FollowsTheContainerAndRate) {
    const CodecCase& c = GetParam();
    VideoCodecChoice choice{};
    const bool known = chooseVideoCodec(c.outputName, c.framesPerSecond, &choice);
    ASSERT_EQ(known, c.codecName != nullptr);
    if (!known) return;
    EXPECT_STREQ(choice.codecName, c.codecName);
    EXPECT_EQ(choice.fourccs, c.fourccs);
    EXPECT_EQ(choice.needsEvenSize, c.needsEvenSize);
    EXPECT_EQ(choice.backEnd, c.backEnd);
}

const std::vector<int> kMotionJpeg = {fourccOf("MJPG")};
const std::vector<int> kH264 = {fourccOf("avc1"), fourccOf("mp4v")};
constexpr VideoBackEnd kOwn = VideoBackEnd::OpenCvMotionJpeg;
constexpr VideoBackEnd kFFmpeg = VideoBackEnd::FFmpeg;

INSTANTIATE_TEST_SUITE_P(
    Names, CodecChoice,
    testing::Values(
        CodecCase{"video.avi", 15.0, "Motion JPEG", kMotionJpeg, false, kOwn},
        CodecCase{"out.d/CLIP.AVI", 1000000.0, "Motion JPEG", kMotionJpeg, false, kOwn},
        // A rate the own writer would round is left to FFmpeg.
        CodecCase{"video.avi", 29.97, "Motion JPEG", kMotionJpeg, false, kFFmpeg},
        CodecCase{"video.avi", 1000001.0, "Motion JPEG", kMotionJpeg, false, kFFmpeg},
        CodecCase{"clip.Mp4", 15.0, "H.264", kH264, true, kFFmpeg},
        CodecCase{"clip.webm", 15.0, "VP8", {fourccOf("VP80"), fourccOf("VP90")}, true, kFFmpeg},
        CodecCase{"clip.wmv", 15.0, "WMV2", {fourccOf("WMV2")}, true, kFFmpeg},
        CodecCase{"video", 15.0, nullptr, {}, false, kFFmpeg},
        CodecCase{"clips.avi/video", 15.0, nullptr, {}, false, kFFmpeg},
        CodecCase{"video.avi.part", 15.0, nullptr, {}, false, kFFmpeg},
        CodecCase{"video.", 15.0, nullptr, {}, false, kFFmpeg},
        CodecCase{"videoavi", 15.0, nullptr, {}, false, kFFmpeg}));

TEST(FileExtension, IsTheLastPointOfTheFileNameAsWritten) {
    EXPECT_EQ(fileExtensionOf("a.b/clip.MP4"), ".MP4");
    EXPECT_EQ(fileExtensionOf("clip.tar.gz"), ".gz");
    EXPECT_EQ(fileExtensionOf("clips.d/video"), "");
    EXPECT_EQ(fileExtensionOf("video."), ".");
    EXPECT_EQ(fileExtensionOf(""), "");
}

}  // namespace
