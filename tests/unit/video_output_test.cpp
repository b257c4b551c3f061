#include "output/video_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

bool exists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

// A fresh folder for each test, removed with what is left in it.
class VideoOutputOpen : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "seqcat-video-output-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        folder_ = pattern + "/";
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + folder_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string folder_;
};

// FFmpeg's writer never returns from opening at an infinite rate, so a missing check shows
// as this test's timeout.
TEST_F(VideoOutputOpen, RateNotAboveZeroIsRefusedWithoutAFile) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    for (double framesPerSecond : {0.0, -15.0, nan, infinity, -infinity}) {
        for (const char* name : {"clip.avi", "clip.mp4"}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(framesPerSecond));
            VideoOutput video;
            std::string whyNot;
            EXPECT_FALSE(video.open(folder_ + name, framesPerSecond, cv::Size(64, 48), &whyNot));
            EXPECT_NE(whyNot, "");
            EXPECT_FALSE(exists(folder_ + name));
        }
    }
}

TEST_F(VideoOutputOpen, ImageTooSmallForEvenSizedFramesIsRefused) {
    for (const char* name : {"clip.mp4", "clip.avi"}) {
        VideoOutput video;
        std::string whyNot;
        EXPECT_FALSE(video.open(folder_ + name, 15.0, cv::Size(1, 48), &whyNot));
        EXPECT_FALSE(exists(folder_ + name));
    }
}

TEST_F(VideoOutputOpen, FolderOrFileInTheWayIsRefusedAndKept) {
    ASSERT_EQ(mkdir((folder_ + "clip.avi").c_str(), 0755), 0);
    VideoOutput video;
    std::string whyNot;
    EXPECT_FALSE(video.open(folder_ + "clip.avi", 15.0, cv::Size(64, 48), &whyNot));
    struct stat status {};
    ASSERT_EQ(stat((folder_ + "clip.avi").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));

    std::ofstream(folder_ + "file") << "kept";
    EXPECT_FALSE(video.open(folder_ + "file/clip.avi", 15.0, cv::Size(64, 48), &whyNot));
    std::ifstream kept(folder_ + "file");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
}

// Every way out of a run finishes the video, so a second finish may come; it must keep the
// video the first one put in place.
TEST_F(VideoOutputOpen, SecondFinishKeepsTheFinishedVideo) {
    VideoOutput video;
    std::string whyNot;
    ASSERT_TRUE(video.open(folder_ + "clip.avi", 15.0, cv::Size(64, 48), &whyNot)) << whyNot;
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(40, 80, 120));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(video.write(frame, &whyNot)) << whyNot;
    EXPECT_EQ(video.finish(&whyNot), VideoFinish::kInPlace) << whyNot;
    EXPECT_EQ(video.finish(&whyNot), VideoFinish::kInPlace) << whyNot;
    EXPECT_TRUE(exists(folder_ + "clip.avi"));
}

}  // namespace

namespace {

struct ReadBackCase {
    const char* name;
    VideoContents readBack;
    bool matches;
};

void PrintTo(const ReadBackCase& c, std::ostream* os) {
    *os << c.name;
}

VideoContents contents(long long frames, double framesPerSecond, bool timesInMilliseconds = false,
                       double lastFrameMilliseconds = 0.0) {
    VideoContents video;
    video.readable = true;
    video.frames = frames;
    video.framesPerSecond = framesPerSecond;
    video.frameSize = cv::Size(64, 48);
    video.timesInMilliseconds = timesInMilliseconds;
    video.lastFrameMilliseconds = lastFrameMilliseconds;
    return video;
}

// What was written in every case: 6 frames of 64x48 at 29.97 fps.
class ReadBackComparison : public testing::TestWithParam<ReadBackCase> {};

TEST_P(ReadBackComparison, AcceptsOnlyWhatWasWritten) {
    std::string whyNot;
    EXPECT_EQ(contentsMatch(GetParam().readBack, contents(6, 29.97), &whyNot),
              GetParam().matches)
        << whyNot;
}

INSTANTIATE_TEST_SUITE_P(
    Videos, ReadBackComparison,
    testing::Values(
        // A frame lost at the end of a file whose header still gives the rate.
        ReadBackCase{"OneFrameFewer", contents(5, 29.97), false},
        // Millisecond times: the frames' 0, 33, 67, 100, 133, 167 ms hold 29.97 fps, whatever
        // rate a reader guesses from them; a last frame one frame time late does not.
        ReadBackCase{"MillisecondTimesOfTheRate", contents(6, 29.9167, true, 167.0), true},
        ReadBackCase{"MillisecondTimesOfAnotherRate", contents(6, 29.97, true, 200.0), false}),
    [](const testing::TestParamInfo<ReadBackCase>& info) { return info.param.name; });

}  // namespace
