// print_message: the 499-character bound, text passed through unformatted, the append to
// "debug.log".
#include "message_output.h"
#include "settings.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <string>

namespace {

class MessageOutput : public testing::Test {
  protected:
    void SetUp() override {
        gSettings = RunSettings{};
        dir.enter();
    }
    void TearDown() override { gSettings = RunSettings{}; }

    test_files::TempDir dir;
};

TEST_F(MessageOutput, ConsoleAndLogHoldAtMost499Characters) {
    gSettings.gLogFile = 1;
    for (std::size_t length : {499u, 500u, 2000u}) {
        std::string text(length, 'x');
        text.back() = 'E'; // marks whether the last character survived
        const std::string expected = text.substr(0, 499);
        std::remove("debug.log");
        testing::internal::CaptureStdout();
        print_message("%s", text.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
        EXPECT_EQ(dir.read("debug.log"), expected);
    }
}

TEST_F(MessageOutput, PercentSignOfTheFormattedTextIsNotFormattedAgain) {
    gSettings.gLogFile = 1;
    testing::internal::CaptureStdout();
    print_message("\rprogress=%02d%%", 7);
    print_message("%s", "%d %s %n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rprogress=07%%d %s %n");
    EXPECT_EQ(dir.read("debug.log"), "\rprogress=07%%d %s %n");
}

TEST_F(MessageOutput, LogFollowsTheSwitchAtEachCall) {
    testing::internal::CaptureStdout();
    print_message("banner\n");
    EXPECT_FALSE(dir.exists("debug.log"));
    gSettings.gLogFile = 0x100; // the whole value counts, not its low byte
    print_message("logged\n");
    gSettings.gLogFile = 0;
    print_message("not logged\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "banner\nlogged\nnot logged\n");
    EXPECT_EQ(dir.read("debug.log"), "logged\n");
}

TEST_F(MessageOutput, SecondRunAppendsAfterTheFirst) {
    dir.write("debug.log", std::string("earlier\n"));
    gSettings.gLogFile = 1;
    testing::internal::CaptureStdout();
    print_message("first run %d\n", 1);
    // Each message is complete in the file before the call returns.
    EXPECT_EQ(dir.read("debug.log"), "earlier\nfirst run 1\n");

    gSettings = RunSettings{}; // a new process: banner before the settings are loaded
    print_message("banner\n");
    gSettings.gLogFile = 1;
    print_message("second run %d\n", 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dir.read("debug.log"), "earlier\nfirst run 1\nsecond run 2\n");
}

} // namespace
