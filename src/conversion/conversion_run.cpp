#include "conversion_run.h"

#include "platform/back_end_stderr_capture.h"
#include "display/console_key_mode.h"
#include "platform/descriptor_supply.h"
#include "frame_reader.h"
#include "display/frame_window.h"
#include "frame_writer.h"
#include "frames/image_loading.h"
#include "frames/sequence_hint.h"
#include "platform/stop_signals.h"
#include "output/video_output.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace {

constexpr int kEscapeKey = 27;
constexpr int kKeyPollMilliseconds = 10;

// Measures each frame's share of the loop's wall time on OpenCV's tick counter: from the
// previous lap (the first: from the start) to this one, so the laps add up to the whole.
class LapStopwatch {
public:
    void start() { lapStartTick_ = cv::getTickCount(); }
    double lapTicks() {
        const std::int64_t now = cv::getTickCount();
        const std::int64_t lap = now - lapStartTick_;
        lapStartTick_ = now;
        return static_cast<double>(lap);
    }

private:
    std::int64_t lapStartTick_ = 0;
};

void printStartupTexts() {
    std::printf("seqcat: makes a video from an image sequence, built with OpenCV %s (%d.%d.%d); "
                "seqcat %s\n",
                CV_VERSION, CV_VERSION_MAJOR, CV_VERSION_MINOR, CV_VERSION_REVISION,
                SEQCAT_VERSION);
    std::printf("Hot keys: \n\tESC - quit the program\nType seqcat -h for additional help.\n");
}

// Takes the image of one frame from the reader. An image that is not there ends the sequence
// quietly (empty frame); one the process has no memory or descriptor left for stops the run
// (false). Said here, in the frame's turn, wherever it was loaded.
bool loadFrame(FrameReader* reader, const std::string& path, VideoFrame* frame,
               std::string* whyUnavailable) {
    LoadedImage loaded = reader->take(path);
    if (loaded.outcome == ImageLoad::unavailable) *whyUnavailable = loaded.whyNot;
    if (loaded.outcome == ImageLoad::outOfResources) {
        std::fprintf(stderr, "seqcat: cannot load the image '%s': %s\n", path.c_str(),
                     loaded.whyNot.c_str());
        return false;
    }
    if (!loaded.damage.empty()) {
        std::fprintf(stderr, "seqcat: the image '%s' could be decoded only in part: %s\n",
                     path.c_str(), loaded.damage.c_str());
    }
    frame->image = std::move(loaded.image);
    frame->jpeg = std::move(loaded.jpeg);
    return true;
}

// The size of the first image, which every frame gets; false, with one line on stderr, when
// it cannot be loaded.
bool probeImageSize(const ConversionSettings& settings, cv::Size* imageSize) {
    const std::string path = formatImagePath(settings, settings.firstIndex);
    const LoadedImage probe = loadColourImage(path);
    if (probe.outcome == ImageLoad::loaded) {
        *imageSize = probe.image.size();
        return true;
    }
    std::fprintf(stderr, "seqcat: cannot load the first image '%s': %s\n", path.c_str(),
                 probe.whyNot.c_str());
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) return false;
    const std::string suggestion = suggestSequence(settings);
    if (!suggestion.empty()) std::fprintf(stderr, "seqcat: %s\n", suggestion.c_str());
    return false;
}

void printTimingLine(const std::string& path, double elapsedTicks) {
    // OpenCV counts ticks per second; the timing formulas take ticks per microsecond.
    const double ticksPerMicrosecond = cv::getTickFrequency() / 1000000.0;
    const double framesPerSecond = ticksPerMicrosecond * 1000000.0 / elapsedTicks;
    const double milliseconds = elapsedTicks / (ticksPerMicrosecond * 1000.0);
    std::printf("File: %s | processing time = %.2f ms/frame - fps = %.2f\n", path.c_str(),
                milliseconds, framesPerSecond);
}

bool openVideo(const ConversionSettings& settings, cv::Size imageSize, VideoOutput* video) {
    std::string whyNot;
    std::string imagePath;
    if (outputIsOneOfTheImages(settings, &imagePath)) {
        whyNot = "it is the image '" + imagePath + "' of the sequence";
    } else if (video->open(settings.outputName, settings.framesPerSecond, imageSize, &whyNot)) {
        std::string howStored;
        if (video->rateIsApproximated(&howStored)) {
            std::fprintf(stderr, "seqcat: '%s': %s\n", settings.outputName.c_str(),
                         howStored.c_str());
        }
        return true;
    }
    std::fprintf(stderr, "seqcat: cannot create the output video '%s': %s\n",
                 settings.outputName.c_str(), whyNot.c_str());
    return false;
}

bool frameWasWritten(const std::string& outputName, FrameWriter* writer) {
    std::string whyNot;
    if (writer->awaitWritten(&whyNot)) return true;
    std::fprintf(stderr, "seqcat: cannot write the output video '%s': %s\n", outputName.c_str(),
                 whyNot.c_str());
    return false;
}

// How far the frames went, and the image that ended the sequence before its last index.
struct RunProgress {
    std::int64_t framesDone = 0;
    std::int64_t endIndex = 0;
    std::string whyEnded;  // empty where no missing or unreadable image ended it
};

// "stopped by SIGINT after 138 of 240 frames"
std::string howTheRunStopped(const ConversionSettings& settings, std::int64_t frames) {
    const std::int64_t asked = std::max<std::int64_t>(
        0, static_cast<std::int64_t>(settings.lastIndex) - settings.firstIndex + 1);
    return "stopped by " + stopSignalName() + " after " + std::to_string(frames) + " of " +
           std::to_string(asked) + " frames";
}

int sayWhatBecameOfTheVideo(const std::string& outputName, VideoFinish outcome,
                            const std::string& whyNot) {
    switch (outcome) {
    case VideoFinish::kInPlaceWithoutColourDescription:
        std::fprintf(stderr, "seqcat: the output video '%s' is saved without its colour "
                     "description: %s\n", outputName.c_str(), whyNot.c_str());
        [[fallthrough]];
    case VideoFinish::kInPlace:
        std::printf("Output video saved to file: %s\n", outputName.c_str());
        return 0;
    case VideoFinish::kKeptBeside:
        return 0;  // said with how the run stopped
    case VideoFinish::kNotAsWritten:
        std::fprintf(stderr, "seqcat: the output video '%s' does not hold what was written: %s\n",
                     outputName.c_str(), whyNot.c_str());
        return kRunFailed;
    case VideoFinish::kNotSaved:
        break;
    }
    std::fprintf(stderr, "seqcat: cannot save the output video '%s': %s\n", outputName.c_str(),
                 whyNot.c_str());
    return kRunFailed;
}

// Finishes the video, whichever way the run ends, and says what became of it: the saved-file
// line only once the video stands under its name. A stop signal must not cost a video that
// stood at the name before, so the frames of a stopped run then go beside it. Returns the
// run's exit status.
int finishVideo(const ConversionSettings& settings, VideoOutput* video) {
    const bool stopped = stopRequested();
    if (stopped) video->keepAnyExistingFile();
    std::string whyNot;
    const VideoFinish outcome = video->finish(&whyNot);
    const int status = sayWhatBecameOfTheVideo(settings.outputName, outcome, whyNot);
    if (outcome == VideoFinish::kKeptBeside) {
        std::fprintf(stderr, "seqcat: %s; '%s' is kept as it was, and those frames are in '%s'\n",
                     howTheRunStopped(settings, video->framesWritten()).c_str(),
                     settings.outputName.c_str(), video->keptPath().c_str());
    } else if (stopped) {
        std::fprintf(stderr, "seqcat: %s\n",
                     howTheRunStopped(settings, video->framesWritten()).c_str());
    }
    return status;
}

// A sequence that runs past its last image ends quietly; one that ends at a gap, with later
// images there, has lost those frames.
void sayWhereAGapEndedTheSequence(const ConversionSettings& settings,
                                  const RunProgress& progress) {
    if (progress.whyEnded.empty() || progress.endIndex >= settings.lastIndex) return;
    const std::string missing =
        formatImagePath(settings, static_cast<std::int32_t>(progress.endIndex));
    const std::string next =
        formatImagePath(settings, static_cast<std::int32_t>(progress.endIndex + 1));
    struct stat status {};
    if (next.empty() || stat(next.c_str(), &status) != 0) return;
    const std::int64_t asked =
        static_cast<std::int64_t>(settings.lastIndex) - settings.firstIndex + 1;
    std::fprintf(stderr,
                 "seqcat: the sequence ended at '%s' (%s), though '%s' exists: %lld of %lld "
                 "frames made\n",
                 missing.c_str(), progress.whyEnded.c_str(), next.c_str(),
                 static_cast<long long>(progress.framesDone), static_cast<long long>(asked));
}

// Without enough of them the toolkit would hang or abort, or the video fail at its end.
bool descriptorsSuffice(bool saveVideo, bool showWindow) {
    std::string whyNot;
    if (descriptorsCanBeOpened(descriptorsNeeded(saveVideo, showWindow), &whyNot)) return true;
    std::fprintf(stderr, "seqcat: too few file descriptors: %s\n", whyNot.c_str());
    return false;
}

// Opens the window unless the display is off or cannot be reached, in which case the run
// goes on exactly as without a display.
void openWindowIfWanted(const ConversionSettings& settings, bool displayReachable,
                        FrameWindow* window, std::function<void()> finishOnToolkitExit) {
    if (!settings.displayImages) return;
    if (!displayReachable) {
        std::fprintf(stderr, "seqcat: no display can be reached; frames will not be shown\n");
        return;
    }
    window->open(std::move(finishOnToolkitExit));
}

// Which images the reader hands over as files for the video to copy.
FrameCopyPlan frameCopyPlan(const ConversionSettings& settings, const VideoOutput& video,
                            FrameWindow* window) {
    FrameCopyPlan plan;
    if (settings.saveOutput && video.copiesJpegFrames()) plan.jpegFrameSize = video.frameSize();
    plan.decodeInFull = window->isOpen();
    return plan;
}

// Loads, writes, shows and times each frame until the last index, a missing image, ESC in
// the window or a stop signal. The reader loads ahead and the writer writes the frame while it
// is shown, but each frame is in the video before its timing line, and a frame ESC came during
// is the last one written. False when the run cannot go on: the video stopped taking frames,
// or an image could not be loaded for want of memory or descriptors.
bool convertFrames(const ConversionSettings& settings, FrameWindow* window, FrameReader* reader,
                   FrameWriter* writer, const FrameCopyPlan& copyPlan, RunProgress* progress) {
    reader->start(copyPlan);
    if (settings.saveOutput) writer->start();
    LapStopwatch stopwatch;
    stopwatch.start();
    // 64-bit, so a last index of INT32_MAX ends the walk instead of wrapping around.
    for (std::int64_t index = settings.firstIndex; index <= settings.lastIndex; ++index) {
        if (stopRequested()) break;
        const std::string path = formatImagePath(settings, static_cast<std::int32_t>(index));
        VideoFrame frame;
        if (!loadFrame(reader, path, &frame, &progress->whyEnded)) return false;
        if (frame.image.empty() && frame.jpeg.empty()) {
            progress->endIndex = index;
            break;
        }
        const cv::Mat shown = frame.image;
        if (settings.saveOutput) writer->hand(std::move(frame));
        window->show(shown);
        // Kept on purpose: OPENCV_LEGACY_WAITKEY or a toolkit can set bits above the key's 8.
        const bool escapePressed = (window->pollKey(kKeyPollMilliseconds) & 0xFF) == kEscapeKey;
        if (settings.saveOutput && !frameWasWritten(settings.outputName, writer)) return false;
        ++progress->framesDone;
        if (escapePressed) break;
        printTimingLine(path, stopwatch.lapTicks());
    }
    return true;
}

void waitForEscapeAtConsole(FrameWindow* window) {
    ConsoleKeyMode keyMode;  // before the prompt, so no key typed after it is lost
    static const char kPrompt[] = "Press ESC to quit.\n";
    std::fputs(kPrompt, stdout);
    std::fflush(stdout);
    keyMode.showPromptOnTheTerminal(kPrompt);
    if (!window->isOpen()) {
        keyMode.waitForEscape();
        return;
    }
    // The window stays open during the wait; it must keep repainting when moved or uncovered.
    // ESC pressed in it ends the wait too.
    keyMode.waitForEscape(
        [window] { return (window->pollKey(1) & 0xFF) == kEscapeKey; });
}

}  // namespace

int runConversion(const ConversionSettings& settings) {
    if (settings.verbose) printStartupTexts();

    cv::Size imageSize;
    if (!probeImageSize(settings, &imageSize)) return kRunFailed;
    const bool displayReachable = settings.displayImages && displayIsReachable();
    if (!descriptorsSuffice(settings.saveOutput, displayReachable)) return kRunFailed;

    // The video after the window, so finished first: closing a window that lost its display can
    // end the process.
    FrameWindow window;
    VideoOutput video;
    // The video first: the window's guard against a toolkit exit is then registered after the
    // video library has set itself up, so it runs while that library is still there.
    if (settings.saveOutput && !openVideo(settings, imageSize, &video)) return kRunFailed;
    // Destroyed before the video, so their threads have ended when it goes.
    FrameReader reader(settings);
    FrameWriter writer(&video, [&settings, &video] {
        // The main thread may still print: stderr stays the user's.
        stopRedirectingStderr();
        try {
            finishVideo(settings, &video);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "seqcat: %s\n", error.what());
        }
        endByStopSignalIfReceived();
    });
    openWindowIfWanted(settings, displayReachable, &window, [&settings, &video, &reader, &writer] {
        reader.stop();
        writer.stop();
        if (settings.saveOutput && !video.isFinished()) finishVideo(settings, &video);
    });

    RunProgress progress;
    const bool framesConverted = convertFrames(settings, &window, &reader, &writer,
                                               frameCopyPlan(settings, video, &window), &progress);
    reader.stop();
    writer.stop();
    if (!framesConverted) return kRunFailed;
    // Finished before the wait, so that the video stands under its name while seqcat waits.
    if (settings.saveOutput && finishVideo(settings, &video) != 0) return kRunFailed;
    if (!settings.saveOutput && stopRequested()) {
        const std::string howStopped = howTheRunStopped(settings, progress.framesDone);
        std::fprintf(stderr, "seqcat: %s\n", howStopped.c_str());
    }
    sayWhereAGapEndedTheSequence(settings, progress);
    if (settings.verbose && !stopRequested()) {
        std::printf("Done!\n");
        if (settings.waitForEscape) waitForEscapeAtConsole(&window);
    }
    window.close();
    return 0;
}
