// tovrela-line's pieces without a process: reading the tool's output, judging a tool's run,
// the profile and the images read, the profile rewrite and the sums.
#include "attempt_record.h"
#include "hub_job.h"
#include "images.h"
#include "line_options.h"
#include "test_files.h"
#include "tool_output.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

namespace {

using namespace line;
using Json = nlohmann::ordered_json;

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

// The line reads "update.ini" as the tool does (CR LF line ends, comments, the first [Config]
// section), refuses an image by its size before reading it, and reads a sums file with CR LF
// line ends; each hub's profile points at the run's copies.
TEST(Images, ProfileAndSumsReadAsTheToolReadsThem) {
    test_files::TempDir dir;
    dir.enter();
    dir.write("a.bin", std::string(0x80000, 'a'));
    dir.write("b.bin", std::string("b"));
    const std::string profile = "TovrelaBin0=outside.bin\r\n[Factory]\r\n; copy into [Config]\r\n"
                                "TovrelaBin0=factory.bin\r\n[Config]\r\nLogFile=1\r\n"
                                "TovrelaBin0=a.bin\r\nTovrelaBin1=b.bin\r\n[Other]\r\n";
    dir.write("update.ini", profile);
    std::string error;
    const auto set = load_images("update.ini", error);
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(set->images[0].name, "a.bin");
    EXPECT_EQ(set->images[1].name, "b.bin");
    EXPECT_EQ(hub_profile(set->profile),
              "TovrelaBin0=outside.bin\r\n[Factory]\r\n; copy into [Config]\r\n"
              "TovrelaBin0=factory.bin\r\n[Config]\r\nLogFile=1\r\n"
              "TovrelaBin0=../image0.bin\nTovrelaBin1=../image1.bin\n[Other]\r\n");
    EXPECT_EQ(expected_sums_refusal(*set, set->images[0].sha256 + "  a.bin\r\n" +
                                              set->images[1].sha256 + " *b.bin\r\n"),
              "");

    // Image 0 of 2 MiB and a byte is refused from its size; an entry on a line too long too.
    std::filesystem::resize_file(dir.file("a.bin"), 0x200001);
    EXPECT_FALSE(load_images("update.ini", error));
    EXPECT_EQ(error, "Image 0 has 2097153 bytes; it must have 524288 to 2097152 bytes (512 KiB to "
                     "2 MiB) (a.bin)");
    dir.write("update.ini", "[Config]\nTovrelaBin0=" + std::string(188, 'p') + "\n");
    EXPECT_FALSE(load_images("update.ini", error));
    EXPECT_EQ(error, "\"update.ini\": the line of TovrelaBin0 is longer than 199 characters");
}

// The record's fields come from one list: every line holds them in its order, and the manual
// page's RECORD section names the same fields in the same order.
TEST(Record, FieldsOfTheLinesAndTheManualPage) {
    const Json line = Json::parse(record_line(AttemptRecord{}));
    std::vector<std::string> keys;
    for (const auto& item : line.items()) {
        keys.push_back(item.key());
    }
    EXPECT_EQ(keys, record_field_names());

    std::ifstream page(std::string(TOVRELA_SOURCE_DIR) + "/packaging/tovrela-line.1");
    std::vector<std::string> listed;
    bool in_record = false;
    bool tag = false;
    for (std::string text; std::getline(page, text);) {
        if (text.starts_with(".SH")) {
            in_record = text == ".SH RECORD";
        } else if (in_record && tag && (text.starts_with(".B ") || text.starts_with(".BR "))) {
            // ".BR run \", \" host": the words outside the quotes are the fields.
            std::istringstream words(text.substr(text.find(' ') + 1));
            for (std::string word; words >> word;) {
                if (word.find('"') == std::string::npos) {
                    listed.push_back(word);
                }
            }
        }
        tag = text == ".TP";
    }
    EXPECT_EQ(listed, record_field_names());
}

// A record line is written whole or not at all: a write cut short (here by a file size limit) is
// undone and the line kept for the next write; a torn last line gets its line end first. Only a
// regular file or a FIFO is a record.
TEST(Record, LinesWrittenWholeOrKept) {
    test_files::TempDir dir;
    dir.write("record", std::string("{\"torn\":"));
    RecordFile record;
    std::string error;
    ASSERT_TRUE(record.open(dir.file("record"), error)) << error;
    const std::string one = "{\"line\":1}\n", two = "{\"line\":2}\n", three = "{\"line\":3}\n";
    EXPECT_TRUE(record.append(one));
    const std::string written = "{\"torn\":\n" + one;
    EXPECT_EQ(dir.read("record"), written);

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{written.size() + 4, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_FALSE(record.append(two));
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(dir.read("record"), written);
    EXPECT_EQ(record.kept(), two);
    EXPECT_TRUE(record.append(three));
    EXPECT_EQ(dir.read("record"), written + two + three);
    EXPECT_EQ(record.kept(), "");

    RecordFile device;
    EXPECT_FALSE(device.open("/dev/full", error));
    EXPECT_EQ(error, "record \"/dev/full\" is neither a regular file nor a FIFO");
}

TEST(Images, Sums) {
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
