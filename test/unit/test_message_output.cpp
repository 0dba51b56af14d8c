// print_message: the 499-character bound, text passed through unformatted, the append to
// "debug.log"; print_version's dotted form.
#include "fw_version.h"
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

struct CutCase {
    std::size_t length;
    std::size_t printed;
};

class MessageCut : public MessageOutput, public testing::WithParamInterface<CutCase> {};

TEST_P(MessageCut, ConsoleAndLogHoldAtMost499Characters) {
    gSettings.gLogFile = 1;
    std::string text(GetParam().length, 'x');
    text.back() = 'E'; // marks whether the last character survived
    const std::string expected = text.substr(0, GetParam().printed);

    testing::internal::CaptureStdout();
    print_message("%s", text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(dir.read("debug.log"), expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, MessageCut,
                         testing::Values(CutCase{498, 498}, CutCase{499, 499}, CutCase{500, 499},
                                         CutCase{501, 499}, CutCase{2000, 499}));

TEST_F(MessageOutput, PercentSignOfTheFormattedTextIsNotFormattedAgain) {
    gSettings.gLogFile = 1;
    testing::internal::CaptureStdout();
    print_message("\rprogress=%02d%%", 7);
    print_message("%s", "%d %s %n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rprogress=07%%d %s %n");
    EXPECT_EQ(dir.read("debug.log"), "\rprogress=07%%d %s %n");
}

TEST_F(MessageOutput, LogFileOffNeverCreatesTheLog) {
    testing::internal::CaptureStdout();
    print_message("one line\n");
    print_message("%s", std::string(600, 'y').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "one line\n" + std::string(499, 'y'));
    EXPECT_FALSE(dir.exists("debug.log"));
}

TEST_F(MessageOutput, LogFollowsTheSwitchAtEachCall) {
    testing::internal::CaptureStdout();
    print_message("banner\n");
    gSettings.gLogFile = 0x100; // the whole value counts, not its low byte
    print_message("logged\n");
    gSettings.gLogFile = 0;
    print_message("not logged\n");
    testing::internal::GetCapturedStdout();
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
    print_message("\rprogress=%02d%%", 50);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dir.read("debug.log"), "earlier\nfirst run 1\nsecond run 2\n\rprogress=50%");
}

TEST_F(MessageOutput, VersionIsPrintedDotted) {
    gSettings.gLogFile = 1;
    testing::internal::CaptureStdout();
    print_version("FW Current: ", FwVersion{1, 2, 3, 4});
    print_version("BinFile0 Version=", FwVersion{255, 0, 16, 200});
    const std::string expected = "FW Current: 1.2.3.4\nBinFile0 Version=255.0.16.200\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(dir.read("debug.log"), expected);
}

} // namespace
