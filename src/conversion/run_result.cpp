#include "run_result.h"

#include <cstdio>

void RunResult::print() {
    for (const Line& line : lines_) {
        std::fprintf(line.toStderr ? stderr : stdout, "%s\n", line.text.c_str());
    }
    lines_.clear();
}

std::string libraryError(const std::exception& error) {
    std::string message = error.what();
    // OpenCV ends its messages with a newline.
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
}
