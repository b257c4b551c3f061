// What a run came to: its exit status and what is to be said of it, printed in one place.
#pragma once

#include <exception>
#include <string>
#include <vector>

// Exit status of a run that failed: the probe image cannot be loaded, or the output video
// cannot be created, written, saved or proven to hold what was written. A POSIX shell sees it
// as 255.
constexpr int kRunFailed = -1;

class RunResult {
public:
    // A line for standard output, without its newline.
    void say(std::string line) { lines_.push_back({false, std::move(line)}); }
    // A line for standard error, without "seqcat: " and the newline.
    void complain(std::string line) { lines_.push_back({true, "seqcat: " + std::move(line)}); }
    // The run failed, for the reason given.
    void fail(std::string why) {
        complain(std::move(why));
        exitStatus_ = kRunFailed;
    }

    bool failed() const { return exitStatus_ == kRunFailed; }
    int exitStatus() const { return exitStatus_; }

    // Prints the lines, in the order they were given, and forgets them.
    void print();

private:
    struct Line {
        bool toStderr;
        std::string text;
    };

    int exitStatus_ = 0;
    std::vector<Line> lines_;
};

// What an error raised inside a library says, as one line.
std::string libraryError(const std::exception& error);
