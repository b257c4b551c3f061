#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "expected_help_text.h"

namespace {

TEST(Executable, HelpPrintsTheTextAndSucceeds) {
    // Standard error is captured too: the program writes nothing there.
    const std::string command = std::string("'") + SEQCAT_EXECUTABLE + "' -h 2>&1 </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, got);
    }
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(output, std::string("Verbose is on.\n") + kExpectedHelpText);
}

}  // namespace
