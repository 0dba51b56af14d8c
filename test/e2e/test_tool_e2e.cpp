// The built tool run as a user would, in a temporary directory, on whatever USB devices this
// machine has: the roads that end before a chip operation.
#include "run_process.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* check_ok_lines = "    SPI-IMAGE: a.bin Check OK\n"
                                       "    ISP_DRIVER: b.bin Check OK\n";
constexpr const char* table_head =
    "\n"
    "   device vid :pid  bcdDevice      (address)    bus    path\n"
    "----------------------------------------------------------------\n";
constexpr const char* not_found_tail =
    "   Target_Device_Not_Found.\n"
    "----------------------------------------------------------------\n"
    "target device not found -5\n";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ToolRun : public testing::Test {
  protected:
    void SetUp() override {
        dir.write("a.bin", std::string("image 0"));
        dir.write("b.bin", std::string("image 1"));
    }

    test_process::Result run(std::vector<std::string> args) const {
        args.insert(args.begin(), TOVRELA_UPDATE_BIN);
        return test_process::run(args, dir.path());
    }

    // The banner: six lines of 40 characters framed by '='. Returns what follows it.
    static std::string after_banner(const std::string& out) {
        const auto lines = lines_of(out);
        EXPECT_GE(lines.size(), 6u);
        for (std::size_t i = 0; i < 6 && i < lines.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(lines[i].size(), 40u);
            EXPECT_EQ(lines[i].front(), '=');
            EXPECT_EQ(lines[i].back(), '=');
        }
        EXPECT_EQ(lines.at(0), std::string(40, '='));
        EXPECT_EQ(lines.at(1), "=   EZU Tovrela I2C Update Tool v0.0   =");
        EXPECT_EQ(lines.at(4), "=               2022.03.28             =");
        EXPECT_EQ(lines.at(5), std::string(40, '='));
        return out.size() >= 6 * 41 ? out.substr(6 * 41) : std::string();
    }

    // The device table up to the not-found end. Rows depend on the machine; none of them may
    // carry the '*' of a match.
    static void expect_table_without_match(const std::string& text) {
        ASSERT_EQ(text.substr(0, std::string(table_head).size()), table_head);
        const std::string tail = not_found_tail;
        ASSERT_GE(text.size(), std::string(table_head).size() + tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        const std::string rows =
            text.substr(std::string(table_head).size(),
                        text.size() - tail.size() - std::string(table_head).size());
        const std::regex row(R"(\( \)\d{6} [0-9a-f]{4}:[0-9a-f]{4} bcdDevice [0-9a-f]{4} )"
                             R"(\(address \d{2,3}\) bus \d+,( path \d+(\.\d+)*)?)");
        for (const auto& line : lines_of(rows)) {
            EXPECT_TRUE(std::regex_match(line, row)) << line;
        }
    }

    test_files::TempDir dir;
};

TEST_F(ToolRun, NoMatchingHubEndsWith251) {
    dir.write("update.ini", std::string("[Config]\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n"));
    // Identifiers above 16 bits never match, whatever this machine has attached.
    const auto result = run({"-vid=10000", "-pid=10000"});
    EXPECT_EQ(result.exit_status, 251) << result.out << result.err;
    const std::string rest = after_banner(result.out);
    ASSERT_EQ(rest.substr(0, std::string(check_ok_lines).size()), check_ok_lines);
    expect_table_without_match(rest.substr(std::string(check_ok_lines).size()));
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(dir.exists("debug.log"));
}

TEST_F(ToolRun, WithoutArgumentsSearchesForIdentifiersZero) {
    dir.write("update.ini", std::string("[Config]\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n"));
    const auto result = run({});
    EXPECT_EQ(result.exit_status, 251) << result.out << result.err;
    const std::string rest = after_banner(result.out);
    ASSERT_EQ(rest.substr(0, std::string(check_ok_lines).size()), check_ok_lines);
    expect_table_without_match(rest.substr(std::string(check_ok_lines).size()));
}

TEST_F(ToolRun, LogFileReceivesEverythingButTheBanner) {
    dir.write("update.ini",
              std::string("[Config]\nDbgMsg=1\nLogFile=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n"));
    const auto result = run({"-vid=10000", "-path=1.2", "-bus=3"});
    EXPECT_EQ(result.exit_status, 251) << result.out << result.err;
    const std::string rest = after_banner(result.out);
    EXPECT_EQ(dir.read("debug.log"), rest);
    EXPECT_NE(rest.find("    Path=1.2\n    gHubPDShareSPI=0\n"), std::string::npos);

    // A second run appends after the first.
    const auto again = run({"-vid=10000"});
    EXPECT_EQ(again.exit_status, 251);
    EXPECT_EQ(dir.read("debug.log"), rest + after_banner(again.out));
}

TEST_F(ToolRun, MissingImageStopsTheLoadSoSelfTestHasNoEffect) {
    dir.write("update.ini", std::string("[Config]\nTovrelaBin0=a.bin\nTovrelaBin1=gone.bin\n"));
    const auto result = run({"-selftest=1"});
    EXPECT_EQ(result.exit_status, 251) << result.out << result.err;
    const std::string rest = after_banner(result.out);
    const std::string stop =
        "    SPI-IMAGE: a.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n";
    ASSERT_EQ(rest.substr(0, stop.size()), stop);
    expect_table_without_match(rest.substr(stop.size()));
}

TEST_F(ToolRun, MissingProfileStillSearches) {
    const auto result = run({"-selftest=1", "-vid=10000"});
    EXPECT_EQ(result.exit_status, 251) << result.out << result.err;
    const std::string rest = after_banner(result.out);
    const std::string stop = "TovrelaBin0_Error\n";
    ASSERT_EQ(rest.substr(0, stop.size()), stop);
    expect_table_without_match(rest.substr(stop.size()));
}

} // namespace
