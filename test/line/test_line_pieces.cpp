// tovrela-line's pieces without a process: reading the tool's output, judging a tool's run,
// the port path, the profile rewrite, the image rules and sums.
#include "hub_job.h"
#include "images.h"
#include "line_options.h"
#include "tool_output.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace {

using namespace line;

std::string drain(int fd) {
    std::string text;
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        poll(&ready, 1, -1);
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return text;
        }
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
}

TEST(ToolOutputReading, PhaseProgressVersionAndFailureLine) {
    // Image 1 of 1,000 bytes, Image 0 of 3,000: Image 0 at 50% is 2,500 of 4,000 bytes.
    struct Case {
        const char* output;
        const char* phase;
        double progress;
        const char* failure;
    };
    const Case cases[] = {
        {"Tovrela_Reg_Write 5000=0010\n", "register 0010", 0.0, ""},
        {"Tovrela_Flash_Write FW1\n\rprogress=50%", "Image 1", 0.125, ""},
        {"Tovrela_Flash_Write FW1\n\rprogress=99%\nTovrela_Reg_Write 5000=0012\n", "register 0012",
         0.25, ""},
        {"Tovrela_Flash_Write FW1\nTovrela_Reg_Write 5000=0012\nTovrela_Flash_Write FW0\n"
         "\rprogress=50%",
         "Image 0", 0.625, ""},
        {"Tovrela_Flash_Write FW0\n\rprogress=10%I2C-WriteCmd B8 Fail -9\n"
         "tovrela-update: the update stopped after the chip was touched; the chip's flash is "
         "incomplete: run the update again once the hub is back\n\n"
         "===========================\n= Tovrela_FW_Update_FAIL. =\nStatus=0x0\n",
         "Image 0", 0.325, "I2C-WriteCmd B8 Fail -9"},
        {"Tovrela_Flash_Write FW0\nTovrela_Reg_Write 5000=0110\n\n= Tovrela_FW_Update_PASS. =\n",
         "register 0110", 1.0, ""},
    };
    for (const Case& c : cases) {
        ToolOutput output({.image0 = 3000, .image1 = 1000});
        output.feed(c.output);
        output.finish();
        EXPECT_EQ(output.phase(), c.phase) << c.output;
        EXPECT_DOUBLE_EQ(output.progress(), c.progress) << c.output;
        EXPECT_EQ(output.last_failure(), c.failure) << c.output;
    }
    ToolOutput versions({.image0 = 1, .image1 = 1});
    versions.feed("STD_MAJOR_VERSION        = 2\nSTD_MINOR_VERSION        = 13\n");
    EXPECT_FALSE(versions.chip_version());
    versions.feed("STD_REVISION_NUMBER      = 15\nCUSTOMER_PROJECT_ID      = 0\n"
                  "CUSTOMER_MAJOR_REVERSION = 0\nCUSTOMER_MINOR_REVERSION = 4");
    versions.finish(); // the last line without its end counts too
    EXPECT_EQ(versions.chip_version().value_or(""), "2.13.15.4");
}

TEST(ToolRunJudging, ExitStatusAndOutputGiveTheResult) {
    struct Case {
        Step step;
        const char* script; // run by sh as the tool
        const char* expected;
    };
    const Case cases[] = {
        {Step::update, "echo '= Tovrela_FW_Update_PASS. ='; echo Status=0x1", result::passed},
        {Step::update, "echo '= Tovrela_FW_Update_PASS. ='; echo Status=0x0", result::failed},
        {Step::update, "echo Status=0x1", result::failed}, // no banner: never a pass
        {Step::update, "echo 'I2C-WriteCmd B8 Fail -4'; exit 1", result::unplugged},
        {Step::update, "echo 'Stopped by SIGINT after block 3'; exit 130", result::stopped},
        {Step::update, "kill -TERM $$", result::stopped},
        {Step::update, "exit 250", result::busy},
        {Step::check, "exit 0", result::update_available},
        {Step::check, "exit 7", result::up_to_date},
        {Step::check, "exit 254", result::failed},
        {Step::version_read, "echo Status=0x1", result::listed},
        {Step::version_read, "echo Status=0x0", result::failed},
    };
    for (const Case& c : cases) {
        std::string error;
        auto process = ToolProcess::start("/bin/sh", {"-c", c.script}, ".", error);
        ASSERT_TRUE(process) << error;
        ToolOutput output({.image0 = 1, .image1 = 1});
        output.feed(drain(process->output()));
        output.finish();
        while (!process->ended()) {
            poll(nullptr, 0, 10);
        }
        EXPECT_EQ(step_result(c.step, *process, output), c.expected) << c.script;
    }
}

TEST(PortPath, EachPortOneTo255AtMostSeven) {
    EXPECT_EQ(parse_port_path("2.10").value_or(std::vector<uint8_t>{}),
              (std::vector<uint8_t>{2, 10}));
    EXPECT_EQ(parse_port_path("1.2.3.4.5.6.7").value_or(std::vector<uint8_t>{}).size(), 7u);
    for (const char* bad : {"", "0", "256", "2..4", "2.", "1.2.3.4.5.6.7.8", "2,4", "+2"}) {
        EXPECT_FALSE(parse_port_path(bad)) << bad;
    }
}

TEST(Profile, ImageEntriesReadAndRewrittenAsTheToolReadsThem) {
    const std::string profile = "TovrelaBin0=outside.bin\n[Config]\nLogFile=1\n"
                                "TovrelaBin0=a.bin\nTovrelaBin1=b.bin\n[Other]\nTovrelaBin1=c\n";
    EXPECT_EQ(profile_value(profile, "TovrelaBin0").value_or(""), "a.bin");
    EXPECT_EQ(hub_profile(profile), "TovrelaBin0=outside.bin\n[Config]\nLogFile=1\n"
                                    "TovrelaBin0=../image0.bin\nTovrelaBin1=../image1.bin\n"
                                    "[Other]\nTovrelaBin1=c\n");
    // A line holding '[' ends the section, as in the tool.
    EXPECT_FALSE(profile_value("[Config]\n; [note]\nTovrelaBin1=b.bin\n", "TovrelaBin1"));
}

TEST(ImageRules, SizesAndSums) {
    EXPECT_EQ(size_refusal(0, 0x80000), "");
    EXPECT_EQ(size_refusal(0, 0x200000), "");
    EXPECT_NE(size_refusal(0, 0x7FFFF), "");
    EXPECT_NE(size_refusal(0, 0x200001), "");
    EXPECT_EQ(size_refusal(1, 1), "");
    EXPECT_EQ(size_refusal(1, 0x80000), "");
    EXPECT_NE(size_refusal(1, 0), "");
    EXPECT_NE(size_refusal(1, 0x80001), "");
    const std::string abc = "abc";
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(abc.data()), abc.size());
    const std::string sum = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(sha256_hex(bytes), sum);
    ImageSet set;
    set.images[0] = {"dir/image0.bin", {}, sum};
    set.images[1] = {"image1.bin", {}, sum};
    const std::string other(64, '0');
    EXPECT_EQ(expected_sums_refusal(set, sum + "  image0.bin\n" + sum + " *image1.bin\n"), "");
    EXPECT_NE(expected_sums_refusal(set, other + "  image0.bin\n" + sum + "  image1.bin\n"), "");
    EXPECT_NE(expected_sums_refusal(set, sum + "  image0.bin\n" + other + "  image1.bin\n"), "");
    EXPECT_NE(expected_sums_refusal(set, sum + "  image0.bin\n"), ""); // Image 1 not listed
}

} // namespace
