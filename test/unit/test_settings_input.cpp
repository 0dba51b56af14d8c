// The settings input: profile reader, option scanner, load_settings, messages and image files.
#include "IniUpdate.h"
#include "capture.h"
#include "file_access.h"
#include "message_output.h"
#include "option_scanner.h"
#include "result_codes.h"
#include "settings.h"
#include "test_files.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h> // mkfifo
#include <tuple>
#include <unistd.h>
#include <vector>

// A profile file in a fresh directory, removed with it.
struct Profile {
    explicit Profile(const std::string& content) { dir.write("update.ini", content); }
    const char* path() const { return file.c_str(); }
    test_files::TempDir dir;
    std::string file = dir.file("update.ini");
};

// main's argument vector for the program name and `args`, pointing into `args`.
std::vector<char*> argv_of(std::vector<std::string>& args) {
    args.insert(args.begin(), "tovrela-update");
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](auto& arg) { return arg.data(); });
    return argv;
}

// A section runs from a line holding "[Config]" to the next line holding any '['; an entry is a
// line starting "key="; lines are read in pieces of 199 characters. No lookup leaves a file open.
TEST(ProfileString, FindsOnlyEntriesOfTheFirstSection) {
    const std::string x199(199, 'x'), s197(197, 's'), k198(198, 'k'), huge(5000, 'h');
    const std::string v44(44, 'v'), a250(250, 'a'), a192(192, 'a'), c = "Config";
    const std::tuple<std::string, std::string, std::string, const char*> cases[]{
        {"[Config]\nDbgMsg=1\n", c, "DbgMsg", "1"},
        {"[Config]\n DbgMsg=1\n", c, "DbgMsg", nullptr},
        {"[Config]\ndbgmsg=1\n", c, "DbgMsg", nullptr},
        {"[Config]\nDbgMsgX=1\n", c, "DbgMsg", nullptr},
        {"[Config]\nDbgMsg=X=1\n", c, "DbgMsg", "X=1"},
        {"DbgMsg=1\n[Config]\n", c, "DbgMsg", nullptr},
        {"[Other]\nDbgMsg=1\n[Config]\nLogFile=1\n", c, "DbgMsg", nullptr},
        {"[config]\nDbgMsg=1\n", c, "DbgMsg", nullptr},
        {"; see [Config] below\nDbgMsg=1\n", c, "DbgMsg", "1"},
        {"[Config]\nTovrelaBin0=fw[1].bin\n", c, "TovrelaBin0", nullptr},
        {"[Config]\nA=1\n[Config]\nDbgMsg=2\n", c, "DbgMsg", nullptr}, // the second is never read
        {"[Config]\nDbgMsg=1\nDbgMsg=2\n", c, "DbgMsg", "1"},
        {"[Config]\r\nTovrelaBin0=a.bin\r\n", c, "TovrelaBin0", "a.bin\r"}, // CR stays
        {"[Config]\nTovrelaBin0= a b \n", c, "TovrelaBin0", " a b "},
        {"[Config]\nDbgMsg=7", c, "DbgMsg", "7"},
        {"[Config]\nDbgMsg=\n", c, "DbgMsg", ""},
        {"\n[Config]\n\n# c\n=x\nDbgMsg=3\n", c, "DbgMsg", "3"},
        // 199 characters fill a piece; the rest of the line is read as a line of its own.
        {"[Config]\n" + x199 + "DbgMsg=" + v44 + "\n", c, "DbgMsg", v44.c_str()},
        {"[Config]\nDbgMsg=" + a250 + "\nLogFile=1\n", c, "DbgMsg", a192.c_str()},
        {"[Config]\nDbgMsg=" + a250 + "\nLogFile=1\n", c, "LogFile", "1"},
        {"[Config]\n" + x199 + "[\nDbgMsg=1\n", c, "DbgMsg", nullptr}, // '[' in a later piece
        // The longest names fill a piece ("[" + 197 + "]", 198 + "="); longer ones are refused.
        {"[" + s197 + "]\n" + k198 + "=\n", s197, k198, ""},
        {"[" + s197 + "s]\nk=1\n", s197 + "s", "k", nullptr},
        {"[" + s197 + "]\n" + k198 + "k=1\n", s197, k198 + "k", nullptr},
        {"[" + huge + "]\n", huge, huge, nullptr}};
    const auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    for (const auto& [content, section, key, expected] : cases) {
        SCOPED_TRACE(content.substr(0, 60));
        Profile profile(content);
        char value[256] = "untouched";
        EXPECT_EQ(
            read_profile_stringS(section.c_str(), key.c_str(), value, 255, "NA", profile.path()),
            expected ? 1 : 0);
        EXPECT_STREQ(value, expected ? expected : "NA");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), fds);
}

// Never more than `size` bytes, terminator included; the plain lookups leave a miss alone. Hex
// is cut to 16 bits, decimal clamped to 32; no number reads as 0, a miss as the default.
TEST(ProfileLookups, BoundsMissesAndNumbers) {
    Profile profile("[Config]\nTovrelaBin0=abcdefgh\n");
    char value[16] = "###############";
    EXPECT_EQ(read_profile_string("Config", "TovrelaBin0", value, 4, "NA", profile.path()), 1);
    EXPECT_EQ(read_profile_string("Config", "Missing", value, 15, "NA", profile.path()), 0);
    EXPECT_EQ(std::string(value, 5), std::string("abc\0#", 5));
    EXPECT_EQ(read_profile_stringS("Config", "Missing", value, 3, "default", profile.path()), 0);
    EXPECT_EQ(std::string(value, 5), std::string("de\0\0#", 5));
    // clang-format off
    const std::tuple<const char*, int, int32_t> cases[]{
        {"10", 0x10, 10}, {"12345", 0x2345, 12345}, {"0Xab", 0xAB, 0}, {"  7f", 0x7F, 7},
        {"-1", 0xFFFF, -1}, {"123456789ABCDEF0123", 0x0123, 123456789},
        {"99999999999", 0x9999, INT32_MAX}, {"-99999999999", 0x6667, INT32_MIN},
        {"yes", 0, 0}, {"0x", 0, 0}};
    // clang-format on
    for (const auto& [text, hex, decimal] : cases) {
        Profile number(std::string("[Config]\r\nDbgMsg=") + text + "\r\n");
        EXPECT_EQ(read_profile_hex("Config", "DbgMsg", 0xBEEF, number.path()), hex) << text;
        EXPECT_EQ(read_profile_int("Config", "DbgMsg", -99, number.path()), decimal) << text;
        EXPECT_EQ(read_profile_hex("Config", "LogFile", 0xBEEF, number.path()), 0xBEEF);
    }
}

// A failed precondition stops the process with the standard report: line of each lookup, condition.
TEST(ProfileStringDeathTest, ReportsTheFirstFailedPrecondition) {
    const auto filled = [](std::string n) { return n + " != nullptr && \\*" + n + " != '\\\\0'"; };
    char v[16] = {};
    const std::tuple<int, int, std::string, const char*, const char*, char*, int32_t, const char*,
                     const char*>
        cases[]{{141, 158, filled("section"), nullptr, "k", v, 10, "d", "f"},
                {141, 158, filled("section"), "", nullptr, v, 10, "d", "f"},
                {142, 159, filled("key"), "s", "", v, 10, "d", "f"},
                {142, 159, filled("key"), "s", nullptr, v, 10, "d", "f"},
                {143, 160, "value != nullptr", "s", "k", nullptr, -1, "d", "f"},
                {144, 161, "size > 0", "s", "k", v, 0, "d", nullptr},
                {144, 161, "size > 0", "s", "k", v, -5, "d", "f"},
                {145, 162, filled("file"), "s", "k", v, 10, nullptr, ""},
                {145, 162, filled("file"), "s", "k", v, 10, "d", nullptr},
                {146, 163, "default_value != nullptr", "s", "k", v, 10, nullptr, "f"}};
    for (const auto& [line, line_s, condition, s, k, value, size, d, f] : cases) {
        const std::string assertion = ": Assertion `" + condition + "' failed\\.";
        EXPECT_DEATH((void)read_profile_string(s, k, value, size, d, f),
                     "\\.\\./src/IniUpdate:" + std::to_string(line) + ": read_profile_string" +
                         assertion);
        EXPECT_DEATH((void)read_profile_stringS(s, k, value, size, d, f),
                     "\\.\\./src/IniUpdate:" + std::to_string(line_s) + ": read_profile_stringS" +
                         assertion);
    }
}

TEST(CommandLineText, KeepsPrintablesAndFoldsSpaces) {
    // Tab, DEL and non-ASCII bytes are dropped, not turned into spaces; runs of spaces are folded.
    // clang-format off
    const std::pair<std::vector<std::string>, std::string> cases[]{
        {{"-vid=1A2B", "-pid=03C4"}, "-vid=1A2B -pid=03C4 "}, {{}, ""}, {{""}, " "},
        {{"a\tb"}, "ab "}, {{"Pr\303\274f.bin"}, "Prf.bin "}, {{"  a  ", "b"}, " a b "},
        {{"a \t\x7F b", "\n"}, "a b "}, {{"x\r\n", "\x01y\xFF"}, "x y "}};
    // clang-format on
    for (auto [args, text] : cases) {
        auto argv = argv_of(args);
        const auto joined = build_command_line_text(static_cast<int>(args.size()), argv.data());
        ASSERT_NE(joined, nullptr);
        EXPECT_EQ(std::string(joined.get()), text) << testing::PrintToString(args);
    }
}

// A name matches anywhere, case ignored; its value is the run of graphic characters after the next
// '=', cut to capacity - 1, and its number the low 32 bits of the value converted in `base`. A
// miss writes nothing.
TEST(OptionValue, TakesTheGraphicRunAfterTheNextEquals) {
    const std::string zeros62(62, '0'), long_number = "-vid=" + zeros62 + "1F ";
    const std::string cut_number = zeros62 + "1"; // the value keeps 63 characters
    const std::tuple<const char*, const char*, int, const char*, int, uint32_t> cases[]{
        {"-VID=1A2B -pid=03C4 ", "-vid", rc::ok, "1A2B", 16, 0x1A2B},
        {"-Z\n-vid=5\n", "-z \t -vid", rc::ok, "5", 16, 5}, // white space folds to one space
        {"-vid 1A2B -pid=03C4 ", "-vid", rc::ok, "03C4", 16, 0x3C4}, // a later option's '='
        {"-vid= 1A2B ", "-vid", rc::ok, "1A2B", 16, 0x1A2B},
        {"-pid=1 -vid= ", "-vid", rc::not_found, nullptr, 16, 0},
        {"-vid 1A2B ", "-vid", rc::not_found, nullptr, 16, 0},
        {"-pid=1 ", "-vid", rc::not_found, nullptr, 16, 0},
        {"-vid=1 ", "", rc::not_found, nullptr, 16, 0},
        {nullptr, "-vid", rc::missing, nullptr, 16, 0},
        {"-vid=1 ", nullptr, rc::missing, nullptr, 16, 0},
        {"-hub1bin=-vid=1.bin -vid=1A2B ", "-vid", rc::ok, "1.bin", 16, 1}, // a substring matches
        {"-vid=1 -vid=2 ", "-vid", rc::ok, "1", 16, 1},
        {"-hub1bin=My Fw.BIN ", "-hub1bin", rc::ok, "My", 16, 0},
        {"-vid=\t\200\001 \3775a\200z", "-vid", rc::ok, "5a", 16, 0x5A}, // non-graphic skipped
        {"-vid= \t\x80", "-vid", rc::not_found, nullptr, 16, 0},
        {"-vid=0x1 ", "-vid", rc::ok, "0x1", 10, 0},
        {"-vid=123456789 ", "-vid", rc::ok, "123456789", 16, 0x23456789},
        {"-vid=-1 ", "-vid", rc::ok, "-1", 16, 0xFFFFFFFF},
        {long_number.c_str(), "-vid", rc::ok, cut_number.c_str(), 16, 1},
        // beyond the range of long the conversion saturates
        {"-vid=123456789ABCDEF0123 ", "-vid", rc::ok, "123456789ABCDEF0123", 16, 0xFFFFFFFF},
        {"-vid=-123456789ABCDEF0123 ", "-vid", rc::ok, "-123456789ABCDEF0123", 16, 0}};
    for (const auto& [text, name, code, value, base, number] : cases) {
        char dest[64] = "keep";
        EXPECT_EQ(get_option_value(text, name, dest, sizeof dest), code) << text;
        EXPECT_STREQ(dest, value ? value : "keep") << text;
        uint32_t converted = 0xDEADBEEF;
        EXPECT_EQ(get_option_number(text, name, base, &converted), code) << text;
        EXPECT_EQ(converted, value ? number : 0xDEADBEEF) << text;
    }
    const char* text = "-hub1bin=x --VID=5 ";
    EXPECT_EQ(find_option(text, "-vid"), text + 12); // in the given text, not in a cleaned copy
}

constexpr const char* check_ok_lines = "    SPI-IMAGE: a.bin Check OK\n"
                                       "    ISP_DRIVER: b.bin Check OK\n";

std::string profile_printout(const std::string& values) {
    return "    ----- Setting From Setting.ini -----\n" + values +
           "    TovrelaBin0=a.bin\n    TovrelaBin1=b.bin\n"
           "    ------------------------------------\n";
}

// A fresh working directory with both image files, and a clean record.
class Settings : public testing::Test {
  protected:
    void SetUp() override {
        gSettings = RunSettings{};
        dir.enter();
        dir.write("a.bin", std::string("image 0"));
        dir.write("b.bin", std::string("image 1"));
    }

    void write_profile(const std::string& lines) {
        dir.write("update.ini", "[Config]\n" + lines + "TovrelaBin0=a.bin\nTovrelaBin1=b.bin\n");
    }

    int load(std::vector<std::string> args) {
        auto argv = argv_of(args);
        int result = 0;
        out = capture_stdout(
            [&] { result = load_settings(static_cast<int>(args.size()), argv.data()); });
        return result;
    }

    test_files::TempDir dir;
    std::string out;
};

// Any DbgMsg prints both printouts, only its low 8 bits the detail lines; long values are cut.
TEST_F(Settings, PrintoutsWithDbgMsg) {
    write_profile("DbgMsg=100\n");
    const std::string path = "1.2" + std::string(100, '_'), bin(700, 'F');
    EXPECT_EQ(load({"-path=" + path, "-hub1bin=" + bin}), rc::ok);
    EXPECT_FALSE(verbose_detail());
    EXPECT_NE(out.find("    ----- Setting From command.sh  -----\n    Hub1VID=0\n"), out.npos);
    EXPECT_EQ(std::string(gSettings.gHub1Bin.data()), bin.substr(0, 511));
    EXPECT_NE(out.find("    Path=" + path.substr(0, 63) + "\n"), out.npos);

    write_profile("DbgMsg=1\nLogFile=0\nDeviceNum=10\nReadVerOnly=1\nReadBinOnly=a\n"
                  "CheckUpdateOnly=0\nBackUpOnly=2\nI2CTestOnly=12345\n");
    EXPECT_EQ(load({"-VID=1a2b", "-pid=03C4", "-hub1bin=FW.BIN", "-bus=1f", "-path=2.4",
                    "-hubpdsharespi=10", "-readveronly=0", "-readbinonly=1", "-backuponly=3",
                    "-checkupdateonly=b", "-selftest=12"}),
              rc::ok);
    EXPECT_EQ(out, check_ok_lines +
                       profile_printout("    LogFile=0\n    DeviceNum=10\n    ReadVerOnly=1\n"
                                        "    ReadBinOnly=A\n    CheckUpdateOnly=0\n"
                                        "    BackUpOnly=2\n    I2CTestOnly=2345\n") +
                       "    ----- Setting From command.sh  -----\n"
                       "    Hub1VID=1A2B\n    Hub1PID=3C4\n    Hub1Bin=FW.BIN\n    Bus=1F\n"
                       "    Path=2.4\n    gHubPDShareSPI=16\n    gReadVerOnly=0\n"
                       "    gReadBinOnly=1\n    gCheckUpdateOnly=11\n    gBackUpOnly=3\n"
                       "    ------------------------------------\n");
    EXPECT_EQ(gSettings.gSelfTest, 12u); // decimal

    // Without arguments the load stops after the profile printout. With CR LF line ends the image
    // paths end at their first line-end character.
    dir.write("update.ini", std::string("[Config]\r\nDbgMsg=1\r\nDeviceNum=2\r\n"
                                        "TovrelaBin0=a.bin\r\nTovrelaBin1=b.bin\r\n"));
    EXPECT_EQ(load({}), rc::missing);
    EXPECT_EQ(out, check_ok_lines + profile_printout("    LogFile=0\n    DeviceNum=2\n"
                                                     "    ReadVerOnly=0\n    ReadBinOnly=0\n"
                                                     "    CheckUpdateOnly=0\n    BackUpOnly=0\n"
                                                     "    I2CTestOnly=0\n"));
}

// Without DbgMsg only the check lines; an option with a value overrides the profile; the rest
// keeps its default.
TEST_F(Settings, OptionOverridesProfileOnlyWhenGiven) {
    write_profile("ReadVerOnly=1\nReadBinOnly=1\nCheckUpdateOnly=1\n");
    EXPECT_EQ(load({"-vid=1", "unrelated", "-readveronly=0", "-checkupdateonly="}), rc::ok);
    EXPECT_EQ(out, check_ok_lines);
    RunSettings expected;
    expected.gReadBinOnly = expected.gCheckUpdateOnly = 1;
    expected.gHub1VID = 1;
    std::strcpy(expected.gTovrelaBin0.data(), "a.bin");
    std::strcpy(expected.gTovrelaBin1.data(), "b.bin");
    EXPECT_EQ(std::memcmp(&gSettings, &expected, sizeof expected), 0);
}

// An early stop prints its message and leaves the command line unread (more: end-to-end roads).
TEST_F(Settings, EarlyStops) {
    dir.write("update.ini", std::string("[Config]\nTovrelaBin0=gone.bin\nTovrelaBin1=b.bin\n"));
    EXPECT_EQ(load({"-vid=1a2b"}), rc::ok);
    EXPECT_EQ(out, "Protection : Tovrela_Bin0_Open_Fail.\n");
    dir.write("update.ini", std::string("[Config]\nTovrelaBin0=a.bin\n"));
    EXPECT_EQ(load({"-vid=1a2b"}), rc::ok);
    EXPECT_EQ(out, "    SPI-IMAGE: a.bin Check OK\nTovrelaBin1_Error\n");
    EXPECT_EQ(gSettings.gHub1VID, 0u);
}

// Port digits 1 to 9, '.' and '_' between them, in the first 13 characters; at most 7.
TEST_F(Settings, PathDigitsWithinThirteenCharacters) {
    write_profile("");
    // clang-format off
    const std::pair<const char*, std::array<uint32_t, 7>> cases[]{
        {"1.2.3", {1, 2, 3}}, {"1_4", {1, 4}}, {"2.10.3", {2, 1}}, {"a1", {}},
        {"98765432", {9, 8, 7, 6, 5, 4, 3}}, {"1..2..3..4..5..6", {1, 2, 3, 4, 5}},
        {"____________1", {1}}, {"_____________1", {}}};
    // clang-format on
    for (const auto& [value, entries] : cases) {
        gSettings = RunSettings{};
        EXPECT_EQ(load({std::string("-path=") + value}), rc::ok);
        EXPECT_EQ(gSettings.gTargetPath, entries) << value;
        EXPECT_EQ(gSettings.gDeviceNum, 1u) << value;
    }
}

// Console and "debug.log" get the text cut to 499 characters, never formatted again; the log is
// appended to, follows the switch (its whole value) at each call, is complete at each return.
TEST_F(Settings, MessagesGoToConsoleAndLog) {
    dir.write("debug.log", std::string("earlier\n"));
    const std::string cut = std::string(498, 'x') + "Y", text = cut + "Z";
    off_t flushed = 0;
    const std::string console = capture_stdout([&] {
        print_message("banner\n");
        flushed = lseek(1, 0, SEEK_CUR); // on the console before the call returns
        gSettings.gLogFile = 0x100;
        print_message("\rprogress=%02d%%", 7);
        print_message("%s", "%d %s %n");
        print_message("%s", text.c_str());
        gSettings.gLogFile = 0;
        print_message("not logged\n");
    });
    EXPECT_EQ(flushed, 7);
    EXPECT_EQ(console, "banner\n\rprogress=07%%d %s %n" + cut + "not logged\n");
    EXPECT_EQ(dir.read("debug.log"), "earlier\n\rprogress=07%%d %s %n" + cut);
}

// Only a regular file opens as an image, a FIFO without blocking. Content is read whole or not at
// all (as when the file shrank after being measured), up to 0x200000 bytes; above without a line.
TEST_F(Settings, ImageFiles) {
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    for (const char* path : {"fifo", ".", "missing", "/dev/zero"}) {
        EXPECT_FALSE(open_image_file(path)) << path;
    }
    const auto bytes = test_files::pattern_bytes(5000, 3);
    dir.write("image.bin", bytes);
    File file = open_image_file("image.bin");
    ASSERT_TRUE(file);
    EXPECT_EQ(file_length(file.get()), 5000u); // and back at the start
    const auto content = read_image_content(file.get(), bytes.size(), 1);
    EXPECT_TRUE(content && std::equal(bytes.begin(), bytes.end(), content.get()));
    const std::string console = capture_stdout([&] {
        for (uint64_t size : {5016u, 0x200000u, 0x200001u}) {
            std::rewind(file.get());
            EXPECT_FALSE(read_image_content(file.get(), size, 1)) << size;
        }
    });
    EXPECT_EQ(console, "!!!Read BinFile 1 Fail: 5000 of 5016 bytes\n"
                       "!!!Read BinFile 1 Fail: 5000 of 2097152 bytes\n");
}
