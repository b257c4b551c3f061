#include "conversion_run.h"

#include "display/console_key_mode.h"
#include "display/escape_key.h"
#include "display/frame_window.h"
#include "frame_reader.h"
#include "frame_writer.h"
#include "frames/frame_memory.h"
#include "frames/image_loading.h"
#include "frames/sequence_hint.h"
#include "output/output_file.h"
#include "output/video_output.h"
#include "platform/back_end_stderr_capture.h"
#include "platform/descriptor_supply.h"
#include "platform/stop_signals.h"
#include "run_result.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace {

constexpr std::chrono::milliseconds kMostKeyPollPerFrame(10);

// Measures each frame's share of the loop's wall time on OpenCV's tick counter: from the
// previous lap (the first: from the start) to this one, so the laps add up to the whole.
class LapStopwatch {
public:
    LapStopwatch() : lapStartTick_(cv::getTickCount()) {}
    double lapTicks() {
        const std::int64_t now = cv::getTickCount();
        const std::int64_t lap = now - lapStartTick_;
        lapStartTick_ = now;
        return static_cast<double>(lap);
    }

private:
    std::int64_t lapStartTick_;
};

void printStartupTexts() {
    std::printf("seqcat: makes a video from an image sequence, built with OpenCV %s (%d.%d.%d); "
                "seqcat %s\n",
                CV_VERSION, CV_VERSION_MAJOR, CV_VERSION_MINOR, CV_VERSION_REVISION,
                SEQCAT_VERSION);
    std::printf("Hot keys: \n\tESC - quit the program\nType seqcat -h for additional help.\n");
}

void printTimingLine(const std::string& path, double elapsedTicks) {
    // OpenCV counts ticks per second; the timing formulas take ticks per microsecond.
    const double ticksPerMicrosecond = cv::getTickFrequency() / 1000000.0;
    const double framesPerSecond = ticksPerMicrosecond * 1000000.0 / elapsedTicks;
    const double milliseconds = elapsedTicks / (ticksPerMicrosecond * 1000.0);
    std::printf("File: %s | processing time = %.2f ms/frame - fps = %.2f\n", path.c_str(),
                milliseconds, framesPerSecond);
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0;
}

// The size of the first image, which every frame gets.
bool probeFrameSize(const ConversionSettings& settings, cv::Size* frameSize, RunResult* result) {
    const std::string path = formatImagePath(settings, settings.firstIndex);
    const LoadedImage probe = loadColourImage(path);
    if (probe.outcome == ImageLoad::kLoaded) {
        *frameSize = probe.image.size();
        keepFreedFramesOf(probe.image.total() * probe.image.elemSize());
        return true;
    }
    result->fail("cannot load the first image '" + path + "': " + probe.whyNot);
    if (fileExists(path)) return false;
    const std::string suggestion = suggestSequence(settings);
    if (!suggestion.empty()) result->complain(suggestion);
    return false;
}

// How many frame workers the run can have descriptors for, at least one; false, with why, where
// it has too few even for one. Without enough of them the toolkit would hang or abort, or the
// video fail at its end.
bool descriptorsSuffice(bool saveVideo, bool showWindow, int* frameWorkers, RunResult* result) {
    std::string whyNot;
    for (; *frameWorkers >= 1; --*frameWorkers) {
        // Each worker loads an image, and so may the loop, in an image's turn.
        const int imageLoaders = *frameWorkers + 1;
        if (descriptorsCanBeOpened(descriptorsNeeded(saveVideo, showWindow, imageLoaders),
                                   &whyNot)) {
            return true;
        }
    }
    result->fail("too few file descriptors: " + whyNot);
    return false;
}

// How far the frames went, and the image that ended the sequence before its last index.
struct RunProgress {
    std::int64_t framesDone = 0;
    std::int64_t endIndex = 0;
    std::string whyEnded;  // empty where no missing or unreadable image ended it
};

// The ways out of a run.
enum class RunEnd {
    kLoopEnded,     // the last index, a missing image, ESC or a stop signal
    kLoopFailed,    // the video stopped taking frames, or the process ran out of resources
    kToolkitExit,   // the window toolkit is ending the process, on the main thread
    kForTheStuckMainThread,  // a stop signal came while the main thread is stuck elsewhere
};

// One run: the window, the video and the two stages, declared in the order they are destroyed
// last to first, opened in that order's reverse where it matters (see the constructor).
class ConversionRun {
public:
    ConversionRun(const ConversionSettings& settings, cv::Size frameSize, bool displayReachable,
                  int frameWorkers, RunResult* openFailure);
    ConversionRun(const ConversionRun&) = delete;
    ConversionRun& operator=(const ConversionRun&) = delete;

    // The frame loop, the end of the run and the wait at the console; returns the exit status.
    int run();

private:
    bool openVideo(cv::Size frameSize, RunResult* failure);
    void openWindow(bool displayReachable);
    FrameCopyPlan frameCopyPlan();
    bool convertFrames(RunResult* result);
    bool takeImage(SequenceImage* image, RunResult* result);
    bool escapePressedWhileTheNextFrameIsMade();
    bool frameWasWritten(RunResult* result);
    bool finishAndSay(RunEnd end, RunResult result, int* exitStatus);
    bool finish(RunEnd end, RunResult* result);
    VideoFinish finishVideo(RunResult* result);
    void sayWhereAGapEndedTheSequence(RunResult* result) const;
    std::string howTheRunStopped() const;
    void waitForEscapeAtConsole();

    const ConversionSettings& settings_;
    // Destroyed last: closing a window whose display is gone can end the process.
    FrameWindow window_;
    std::optional<VideoOutput> video_;  // none when the output is not saved
    FrameReader reader_;
    std::optional<FrameWriter> writer_;  // with the video
    FrameCopyPlan copyPlan_;
    RunProgress progress_;
    std::mutex finishing_;
    bool finished_ = false;
};

ConversionRun::ConversionRun(const ConversionSettings& settings, cv::Size frameSize,
                             bool displayReachable, int frameWorkers, RunResult* openFailure)
    : settings_(settings), reader_(settings) {
    // The video first: the window's guard against a toolkit exit is then registered after the
    // video library has set itself up, so it runs while that library is still there.
    if (settings.saveOutput && !openVideo(frameSize, openFailure)) return;
    openWindow(displayReachable);
    copyPlan_ = frameCopyPlan();
    const cv::Size encodedFrameSize =
        video_ && video_->copiesJpegFrames() ? video_->frameSize() : cv::Size();
    reader_.start(copyPlan_, encodedFrameSize, frameWorkers);
    if (video_) {
        writer_.emplace(&*video_, [this] {
            int exitStatus = 0;
            if (finishAndSay(RunEnd::kForTheStuckMainThread, RunResult(), &exitStatus)) {
                endByStopSignalIfReceived();
            }
        });
        writer_->start();
    }
}

bool ConversionRun::openVideo(cv::Size frameSize, RunResult* failure) {
    std::string whyNot;
    std::string imagePath;
    video_.emplace();
    if (outputIsOneOfTheImages(settings_, &imagePath)) {
        whyNot = "it is the image '" + imagePath + "' of the sequence";
    } else if (video_->open(settings_.outputName, settings_.framesPerSecond, frameSize,
                            &whyNot)) {
        std::string howStored;
        if (video_->rateIsApproximated(&howStored)) {
            std::fprintf(stderr, "seqcat: '%s': %s\n", settings_.outputName.c_str(),
                         howStored.c_str());
        }
        return true;
    }
    video_.reset();
    failure->fail("cannot create the output video '" + settings_.outputName + "': " + whyNot);
    return false;
}

// Opens the window unless the display is off or cannot be reached, in which case the run
// goes on exactly as without a display.
void ConversionRun::openWindow(bool displayReachable) {
    if (!settings_.displayImages) return;
    if (!displayReachable) {
        std::fprintf(stderr, "seqcat: no display can be reached; frames will not be shown\n");
        return;
    }
    window_.open([this] {
        int exitStatus = 0;
        finishAndSay(RunEnd::kToolkitExit, RunResult(), &exitStatus);
    });
}

// Which images the reader hands over as files for the video to copy.
FrameCopyPlan ConversionRun::frameCopyPlan() {
    FrameCopyPlan plan;
    if (video_ && video_->copiesJpegFrames()) plan.jpegFrameSize = video_->frameSize();
    plan.decodeInFull = window_.isOpen();
    return plan;
}

int ConversionRun::run() {
    RunResult result;
    RunEnd end = RunEnd::kLoopEnded;
    try {
        if (!convertFrames(&result)) end = RunEnd::kLoopFailed;
    } catch (const std::exception& error) {
        result.fail(libraryError(error));
        end = RunEnd::kLoopFailed;
    }
    int exitStatus = 0;
    finishAndSay(end, std::move(result), &exitStatus);
    if (exitStatus == 0 && settings_.verbose && !stopRequested()) {
        std::printf("Done!\n");
        if (settings_.waitForEscape) waitForEscapeAtConsole();
    }
    window_.close();
    return exitStatus;
}

// Loads, writes, shows and times each frame until the last index, a missing image, ESC in
// the window or a stop signal. The workers load ahead and the writer writes the frame while it
// is shown, but each frame is in the video before its timing line, and a frame ESC came during
// is the last one written. False when the run cannot go on: the video stopped taking frames,
// or an image could not be loaded for want of memory or descriptors.
bool ConversionRun::convertFrames(RunResult* result) {
    LapStopwatch stopwatch;
    while (!stopRequested()) {
        std::optional<SequenceImage> image = reader_.next();
        if (!image) break;
        if (!takeImage(&*image, result)) return false;
        if (image->loaded.outcome != ImageLoad::kLoaded) break;
        const cv::Mat shown = image->loaded.image;
        if (writer_) {
            writer_->hand(VideoFrame{std::move(image->loaded.image), std::move(image->loaded.jpeg)});
        }
        window_.show(shown);
        const bool escapePressed = escapePressedWhileTheNextFrameIsMade();
        if (writer_ && !frameWasWritten(result)) return false;
        ++progress_.framesDone;
        if (escapePressed) break;
        printTimingLine(image->path, stopwatch.lapTicks());
    }
    return true;
}

// An image the worker could not load is loaded again in its turn, so a sequence still being
// rendered is read as far as it stands now. One that is not there ends the sequence; one the
// process has no memory or descriptor left for stops the run (false).
bool ConversionRun::takeImage(SequenceImage* image, RunResult* result) {
    if (image->loaded.outcome != ImageLoad::kLoaded) {
        image->loaded = loadFrameImage(image->path, copyPlan_);
    }
    const LoadedImage& loaded = image->loaded;
    if (loaded.outcome == ImageLoad::kOutOfResources) {
        result->fail("cannot load the image '" + image->path + "': " + loaded.whyNot);
        return false;
    }
    if (loaded.outcome == ImageLoad::kUnavailable) {
        progress_.endIndex = image->index;
        progress_.whyEnded = loaded.whyNot;
    }
    if (!loaded.damage.empty()) {
        std::fprintf(stderr, "seqcat: the image '%s' could be decoded only in part: %s\n",
                     image->path.c_str(), loaded.damage.c_str());
    }
    return true;
}

// Polls the window for a key, which is also when it repaints, for at most 10 ms: no longer
// than it takes to load the next frame and write this one, but at least once, so that every
// frame is drawn and ESC is taken in its frame. Without a window one poll is all: the loop
// then waits for the next frame without spinning.
bool ConversionRun::escapePressedWhileTheNextFrameIsMade() {
    const auto deadline = std::chrono::steady_clock::now() + kMostKeyPollPerFrame;
    for (;;) {
        if (isEscapeKey(window_.pollKey(1))) return true;
        if (!window_.isOpen()) return false;
        const bool nextFrameIsReady =
            reader_.nextIsReady() && (!writer_ || writer_->writeIsOver());
        if (nextFrameIsReady || std::chrono::steady_clock::now() >= deadline) return false;
    }
}

bool ConversionRun::frameWasWritten(RunResult* result) {
    std::string whyNot;
    if (writer_->awaitWritten(&whyNot)) return true;
    result->fail("cannot write the output video '" + settings_.outputName + "': " + whyNot);
    return false;
}

// Every way out of the run comes here: finishes it and says what became of it, the one place
// that does. False where this call did not finish it: it was finished before, or the main
// thread is at it.
bool ConversionRun::finishAndSay(RunEnd end, RunResult result, int* exitStatus) {
    bool finishedHere = false;
    try {
        finishedHere = finish(end, &result);
    } catch (const std::exception& error) {
        result.fail(libraryError(error));
    }
    if (end == RunEnd::kToolkitExit) {
        result.complain("lost the connection to the display; the window toolkit ended the run");
    }
    result.print();
    *exitStatus = result.exitStatus();
    return finishedHere;
}

// Stops the stages and finishes the video, once, whichever way the run ends; false where it
// was finished before, or the main thread is at it. A failed loop leaves the video unfinished:
// its new file is removed, and the output name keeps what it held.
bool ConversionRun::finish(RunEnd end, RunResult* result) {
    const bool forTheStuckMainThread = end == RunEnd::kForTheStuckMainThread;
    std::unique_lock<std::mutex> finishing(finishing_, std::defer_lock);
    if (forTheStuckMainThread) {
        if (!finishing.try_lock()) return false;
        stopRedirectingStderr();  // the main thread may still print: stderr stays the user's
    } else {
        finishing.lock();  // where the writer is at it, the process ends on its side
    }
    if (finished_) return false;
    finished_ = true;
    // A stuck main thread may still be using the reader; the writer is this very thread.
    if (!forTheStuckMainThread) {
        reader_.stop();
        if (writer_) writer_->stop();
    }
    if (end == RunEnd::kLoopFailed) return true;
    const bool keptBeside = video_ && finishVideo(result) == VideoFinish::kKeptBeside;
    if (stopRequested() && !keptBeside) result->complain(howTheRunStopped());
    // A stopped run ends at no gap; the stuck main thread's progress is its own.
    if (!result->failed() && !forTheStuckMainThread) sayWhereAGapEndedTheSequence(result);
    return true;
}

// Finished before the wait, so that the video stands under its name while seqcat waits: the
// saved-file line only once it does. A stop signal must not cost a video that stood at the
// name before, so the frames of a stopped run then go beside it.
VideoFinish ConversionRun::finishVideo(RunResult* result) {
    if (stopRequested()) video_->keepAnyExistingFile();
    std::string whyNot;
    const std::string& name = settings_.outputName;
    const VideoFinish outcome = video_->finish(&whyNot);
    switch (outcome) {
    case VideoFinish::kInPlaceWithoutColourDescription:
        result->complain("the output video '" + name + "' is saved without its colour "
                         "description: " + whyNot);
        [[fallthrough]];
    case VideoFinish::kInPlace:
        result->say("Output video saved to file: " + name);
        break;
    case VideoFinish::kKeptBeside:
        result->complain(howTheRunStopped() + "; '" + name + "' is kept as it was, and those " +
                         "frames are in '" + video_->keptPath() + "'");
        break;
    case VideoFinish::kNotAsWritten:
        result->fail("the output video '" + name + "' does not hold what was written: " + whyNot);
        break;
    case VideoFinish::kNotSaved:
        result->fail("cannot save the output video '" + name + "': " + whyNot);
        break;
    }
    return outcome;
}

// "stopped by SIGINT after 138 of 240 frames"
std::string ConversionRun::howTheRunStopped() const {
    const std::int64_t frames = video_ ? video_->framesWritten() : progress_.framesDone;
    return "stopped by " + stopSignalName() + " after " + std::to_string(frames) + " of " +
           std::to_string(imagesInRange(settings_)) + " frames";
}

// A sequence that runs past its last image ends quietly; one that ends at a gap, with later
// images there, has lost those frames.
void ConversionRun::sayWhereAGapEndedTheSequence(RunResult* result) const {
    if (progress_.whyEnded.empty() || progress_.endIndex >= settings_.lastIndex) return;
    const std::string missing =
        formatImagePath(settings_, static_cast<std::int32_t>(progress_.endIndex));
    const std::string next =
        formatImagePath(settings_, static_cast<std::int32_t>(progress_.endIndex + 1));
    if (!fileExists(next)) return;
    result->complain("the sequence ended at '" + missing + "' (" + progress_.whyEnded +
                     "), though '" + next + "' exists: " +
                     std::to_string(progress_.framesDone) + " of " +
                     std::to_string(imagesInRange(settings_)) + " frames made");
}

void ConversionRun::waitForEscapeAtConsole() {
    ConsoleKeyMode keyMode;  // before the prompt, so no key typed after it is lost
    static const char kPrompt[] = "Press ESC to quit.\n";
    std::fputs(kPrompt, stdout);
    std::fflush(stdout);
    keyMode.showPromptOnTheTerminal(kPrompt);
    if (!window_.isOpen()) {
        keyMode.waitForEscape();
        return;
    }
    // The window stays open during the wait; it must keep repainting when moved or uncovered.
    // ESC pressed in it ends the wait too.
    keyMode.waitForEscape([this] { return isEscapeKey(window_.pollKey(1)); });
}

}  // namespace

int runConversion(const ConversionSettings& settings) {
    if (settings.verbose) printStartupTexts();
    RunResult result;
    try {
        cv::Size frameSize;
        const bool displayReachable = settings.displayImages && displayIsReachable();
        int frameWorkers = frameWorkersFor(displayReachable);
        reuseFrameMemory();
        if (probeFrameSize(settings, &frameSize, &result) &&
            descriptorsSuffice(settings.saveOutput, displayReachable, &frameWorkers, &result)) {
            ConversionRun run(settings, frameSize, displayReachable, frameWorkers, &result);
            if (!result.failed()) return run.run();
        }
    } catch (const std::exception& error) {
        result.fail(libraryError(error));
    }
    result.print();
    return kRunFailed;
}
