// The settings input: profile reader, load_settings, messages and image files.
#include "IniUpdate.h"
#include "capture.h"
#include "file_access.h"
#include "message_output.h"
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
// line starting "key="; lines are never cut. No lookup leaves a file open.
TEST(ProfileString, FindsOnlyEntriesOfTheFirstSection) {
    const std::string x199(199, 'x'), s197(197, 's'), k198(198, 'k'), huge(5000, 'h');
    const std::string v44(44, 'v'), a250(250, 'a'), a192(192, 'a'), c = "Config";
    const std::string a192_cr = a192 + "\r";
    const std::tuple<std::string, std::string, std::string, const char*> cases[]{
        {"[Config]\nDbgMsg=1\n", c, "DbgMsg", "1"},
        {"[Config]\n DbgMsg=1\n", c, "DbgMsg", nullptr},
        {"[Config]\ndbgmsg=1\n", c, "DbgMsg", nullptr},
        {"[Config]\nDbgMsgX=1\n", c, "DbgMsg", nullptr},
        {"[Config]\nDbgMsg=X=1\n", c, "DbgMsg", "X=1"},
        {"DbgMsg=1\n[Config]\n", c, "DbgMsg", nullptr},
        {"[Other]\nDbgMsg=1\n[Config]\nLogFile=1\n", c, "DbgMsg", nullptr},
        {"[config]\nDbgMsg=1\n", c, "DbgMsg", nullptr},
        // A comment line (';' or '#' after blanks) never opens or ends a section.
        {"; see [Config] below\nDbgMsg=1\n", c, "DbgMsg", nullptr},
        {"[Factory]\n ; copy these into [Config] below\nTovrelaBin0=factory0.bin\n[Config]\n"
         "TovrelaBin0=real.bin\n",
         c, "TovrelaBin0", "real.bin"},
        {"[Config]\n\t# see [Other]\nDbgMsg=1\n", c, "DbgMsg", "1"},
        {"[Config]\nTovrelaBin0=fw[1].bin\n", c, "TovrelaBin0", nullptr},
        {"[Config]\nA=1\n[Config]\nDbgMsg=2\n", c, "DbgMsg", nullptr}, // the second is never read
        {"[Config]\nDbgMsg=1\nDbgMsg=2\n", c, "DbgMsg", "1"},
        {"[Config]\r\nTovrelaBin0=a.bin\r\n", c, "TovrelaBin0", "a.bin\r"}, // CR stays
        {"[Config]\nTovrelaBin0= a b \n", c, "TovrelaBin0", " a b "},
        {"[Config]\nDbgMsg=7", c, "DbgMsg", "7"},
        {"[Config]\nDbgMsg=\n", c, "DbgMsg", ""},
        {"\n[Config]\n\n# c\n=x\nDbgMsg=3\n", c, "DbgMsg", "3"},
        // A line is never cut: text after 199 characters is no line of its own, and an entry on
        // a longer line is refused.
        {"[Config]\n" + x199 + "DbgMsg=" + v44 + "\n", c, "DbgMsg", nullptr},
        {"[Config]\nDbgMsg=" + a250 + "\nLogFile=1\n", c, "DbgMsg", nullptr},
        {"[Config]\nDbgMsg=" + a192 + "\n", c, "DbgMsg", a192.c_str()},        // 199 characters
        {"[Config]\r\nDbgMsg=" + a192 + "\r\n", c, "DbgMsg", a192_cr.c_str()}, // and a CR
        {"[Config]\nDbgMsg=" + a250 + "\nLogFile=1\n", c, "LogFile", "1"},
        {"[Config]\n" + x199 + "[\nDbgMsg=1\n", c, "DbgMsg", nullptr}, // '[' after 199
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

template <typename F> std::string capture_stderr(F&& run) {
    return capture_stdout(std::forward<F>(run), 2);
}

// Any DbgMsg prints both printouts, only its low 8 bits the detail lines; the longest values fit.
TEST_F(Settings, PrintoutsWithDbgMsg) {
    write_profile("DbgMsg=100\n");
    const std::string path = "1.2" + std::string(60, '_'), bin(511, 'F');
    EXPECT_EQ(load({"-path=" + path, "-hub1bin=" + bin}), rc::ok);
    EXPECT_FALSE(verbose_detail());
    EXPECT_NE(out.find("    ----- Setting From command.sh  -----\n    Hub1VID=0\n"), out.npos);
    EXPECT_EQ(std::string(gSettings.gHub1Bin.data()), bin);
    EXPECT_NE(out.find("    Path=" + path + "\n"), out.npos);

    write_profile("DbgMsg=1\nLogFile=0\nDeviceNum=10\nReadVerOnly=1\nReadBinOnly=a\n"
                  "CheckUpdateOnly=0\nBackUpOnly=2\nI2CTestOnly=2345\n");
    EXPECT_EQ(load({"-VID=1a2b", "-pid=03C4", "-hub1bin=FW.BIN", "-bus=31", "-path=2.4",
                    "-hubpdsharespi=10", "-readveronly=0", "-readbinonly=1", "-backuponly=3",
                    "-checkupdateonly=b", "-selftest=12"}),
              rc::ok);
    EXPECT_EQ(out, check_ok_lines +
                       profile_printout("    LogFile=0\n    DeviceNum=10\n    ReadVerOnly=1\n"
                                        "    ReadBinOnly=A\n    CheckUpdateOnly=0\n"
                                        "    BackUpOnly=2\n    I2CTestOnly=2345\n") +
                       "    ----- Setting From command.sh  -----\n"
                       "    Hub1VID=1A2B\n    Hub1PID=3C4\n    Hub1Bin=FW.BIN\n    Bus=31\n"
                       "    Path=2.4\n    gHubPDShareSPI=16\n    gReadVerOnly=0\n"
                       "    gReadBinOnly=1\n    gCheckUpdateOnly=11\n    gBackUpOnly=3\n"
                       "    ------------------------------------\n");
    EXPECT_EQ(gSettings.gSelfTest, 12u); // decimal
    EXPECT_EQ(gSettings.gBus, 31u);      // decimal, as the device table prints it

    // The exact selection shows in the printout only when it is on.
    EXPECT_EQ(load({"-path=2.4", "-exactpath=1"}), rc::ok);
    EXPECT_NE(out.find("    Path=2.4\n    ExactPath=1\n    gHubPDShareSPI="), out.npos);

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

// Without DbgMsg only the check lines; an option overrides the profile; an option may be repeated
// with the same setting; the rest keeps its default.
TEST_F(Settings, OptionOverridesProfileOnlyWhenGiven) {
    write_profile("ReadVerOnly=1\nReadBinOnly=1\nCheckUpdateOnly=1\nExactPath=1\n");
    EXPECT_EQ(load({"-vid=1", "-readveronly=0", "-READVERONLY=0x0", "-hub1bin=-vid=2", "-path=0"}),
              rc::ok);
    EXPECT_EQ(out, check_ok_lines);
    RunSettings expected;
    expected.gReadBinOnly = expected.gCheckUpdateOnly = expected.gExactPath = 1;
    expected.gHub1VID = 1; // not the "-vid=2" inside another option's value
    std::strcpy(expected.gHub1Bin.data(), "-vid=2");
    std::strcpy(expected.gPathText.data(), "0"); // exactly a hub without ports
    std::strcpy(expected.gTovrelaBin0.data(), "a.bin");
    std::strcpy(expected.gTovrelaBin1.data(), "b.bin");
    EXPECT_EQ(std::memcmp(&gSettings, &expected, sizeof expected), 0);
}

// Every argument is an option of the table, NAME=VALUE, its value whole in the option's base; the
// first other word is refused with one line naming it and the form expected.
TEST(CommandLineCheck, RefusesEveryOtherWord) {
    const std::string p64 = "1." + std::string(62, '_'), t512(512, 'x');
    const std::string path = "1 to 7 port numbers 1 to 255 joined by '.', as in -path=2.4";
    const std::string hex = "a hexadecimal number of 32 bits, as in ";
    const std::string dec = "a decimal number of 32 bits, as in ";
    const std::string text = "1 to 511 characters without blanks, as in -hub1bin=hub.bin";
    const auto check = [](std::vector<std::string> args) {
        auto argv = argv_of(args);
        int result = 1;
        std::string err = capture_stderr(
            [&] { result = check_command_line(static_cast<int>(args.size()), argv.data()); });
        return std::make_pair(result, err);
    };
    // The arguments, the word named (its first 79 characters, unprintable ones as '?'), and the
    // end of the line: the value expected, or none for a missing value or an unknown name.
    // clang-format off
    const std::tuple<std::vector<std::string>, std::string, std::string> cases[]{
        {{"-vid=1234", "-pid=5678", "-readveronly"}, "-readveronly", "-readveronly=1"}, {{""}, "''", ""},
        {{"-readveronly="}, "-readveronly=", "-readveronly=1"}, {{"-vid", "1234"}, "-vid", "-vid=1234"},
        {{"-readver=1"}, "-readver=1", ""}, {{"-vid=1234", "unrelated"}, "unrelated", ""},
        {{"-readveronly=yes"}, "-readveronly=yes: ", hex + "-readveronly=1"}, {{"-vid=-1"}, "-vid=-1: ", hex + "-vid=1234"},
        {{"-vid=1", "-vid=zz"}, "-vid=zz: ", hex + "-vid=1234"}, {{"-exactpath=on"}, "-exactpath=on: ", hex + "-exactpath=1"},
        {{"-selftest=0x1"}, "-selftest=0x1: ", dec + "-selftest=1"}, {{"-bus=1f"}, "-bus=1f: ", dec + "-bus=1"},
        {{"-path=1.256"}, "-path=1.256: ", path}, {{"-path=1.2.3.4.5.6.7.8"}, "-path=1.2.3.4.5.6.7.8: ", path},
        {{"-path=a1"}, "-path=a1: ", path}, {{"-path=0.3", "-exactpath=1"}, "-path=0.3: ", path},
        {{"-path=2.0.4"}, "-path=2.0.4: ", path}, {{"-path=1.2.3.4.5.6.7.0.9"}, "-path=1.2.3.4.5.6.7.0.9: ", path}, {{"-path=" + p64}, "-path=" + p64.substr(0, 73) + ": ", path},
        {{"-hub1bin=" + t512}, "-hub1bin=" + t512.substr(0, 70) + ": ", text},
        {{"-hub1bin=My Fw.bin"}, "-hub1bin=My Fw.bin: ", text}, {{"-hub1bin=Pr\303\274f"}, "-hub1bin=Pr??f: ", text}};
    // clang-format on
    const std::string unknown =
        " is not an option; write NAME=VALUE, as in -vid=1234 (tovrela-update --help lists them)";
    for (const auto& [args, word, end] : cases) {
        const std::string line =
            "tovrela-update: " + word +
            (word.ends_with(": ") ? "the value must be " + end
                                  : (end.empty() ? unknown : " needs a value, as in " + end)) +
            "\n";
        EXPECT_EQ(check(args), std::make_pair(rc::refused, line));
    }
    // A repeat that disagrees names both words; an exact path needs a path.
    const std::string disagree = "tovrela-update: -readveronly=0 and -READVERONLY=1 disagree; give "
                                 "-readveronly once\n";
    EXPECT_EQ(check({"-readveronly=0", "-READVERONLY=1"}), std::make_pair(rc::refused, disagree));
    EXPECT_EQ(check({"-path=2.4", "-exactpath=1", "-path=2.10"}),
              std::make_pair(rc::refused, std::string("tovrela-update: -path=2.4 and -path=2.10 "
                                                      "disagree; give -path once\n")));
    EXPECT_EQ(check({"-vid=1", "-exactpath=1"}),
              std::make_pair(rc::refused,
                             std::string("tovrela-update: -exactpath=1 needs -path=, the hub's "
                                         "whole port path, as in -path=2.4 (-path=0: a hub "
                                         "without ports)\n")));
    // Today's command lines that mean what they say pass, in any case and order; so does a repeat
    // with the same setting.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"-VID=1A2B", "-pid=0x03c4", "-Path=2.10.3", "-bus=10", "-exactpath=1"},
             {"-readveronly=0", "-readbinonly=1", "-checkupdateonly=FFFFFFFF", "-selftest=1"},
             {"-path=2.4.0", "-path=2_4", "-hub1bin=FW.BIN", "-backuponly=0", "-hubpdsharespi=1",
              "-hub1bin=FW.BIN"},
             {"-vid=1234", "-VID=0x1234", "-path=0", "-exactpath=1", "-exactpath=1"}}) {
        EXPECT_EQ(check(args), std::make_pair(rc::ok, std::string()));
    }
}

// An early stop prints its message and leaves the command line unread (more: end-to-end roads);
// a missing profile or image gets one line on standard error naming it.
TEST_F(Settings, EarlyStops) {
    const std::string no_file = ": No such file or directory\n";
    const std::tuple<const char*, std::string, std::string> cases[]{
        {"[Config]\nTovrelaBin0=gone.bin\nTovrelaBin1=b.bin\n",
         "Protection : Tovrela_Bin0_Open_Fail.\n",
         "cannot open Image 0 'gone.bin' (TovrelaBin0 in update.ini)" + no_file},
        {"[Config]\nTovrelaBin0=a.bin\n", "    SPI-IMAGE: a.bin Check OK\nTovrelaBin1_Error\n",
         "update.ini has no entry TovrelaBin1= in section [Config]\n"},
        {nullptr, "TovrelaBin0_Error\n",
         "cannot read update.ini in the working directory" + no_file}};
    for (const auto& [profile, console, err] : cases) {
        if (profile != nullptr) {
            dir.write("update.ini", std::string(profile));
        } else {
            std::filesystem::remove(dir.file("update.ini"));
        }
        int result = 1;
        EXPECT_EQ(capture_stderr([&] { result = load({"-vid=1a2b"}); }), "tovrela-update: " + err);
        EXPECT_EQ(result, rc::ok);
        EXPECT_EQ(out, console);
        EXPECT_EQ(gSettings.gHub1VID, 0u);
    }
}

// A profile entry is never cut: its line over 199 characters is refused, naming the key. A line
// meant as an entry but for the case or blanks around '=' is warned about, with the spelling.
TEST_F(Settings, ProfileRefusalsAndWarnings) {
    const std::string long_path(191, 'p'), w = "tovrela-update: warning: update.ini: the line '";
    const auto too_long = [](const char* key) {
        return "tovrela-update: update.ini: the line of " + std::string(key) +
               " is longer than 199 characters; it is refused, not cut\n";
    };
    const std::tuple<std::string, int, std::string> cases[]{
        {"TovrelaBin0=" + long_path + "\nTovrelaBin1=b.bin\n", rc::refused,
         too_long("TovrelaBin0")},
        {"DbgMsg=" + std::string(193, '0') + "\nTovrelaBin0=a.bin\n", rc::refused,
         too_long("DbgMsg")},
        {"dbgmsg=1\nReadVerOnly = 1\n  LogFile=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n", rc::ok,
         w + "dbgmsg=1' is not read; write DbgMsg=VALUE at the line start\n" + w +
             "  LogFile=1' is not read; write LogFile=VALUE at the line start\n" + w +
             "ReadVerOnly = 1' is not read; write ReadVerOnly=VALUE at the line start\n"},
        {"; DbgMsg=1\nDbgMsgX=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n", rc::ok, ""},
        // The first entry of a key is read; a later one that says otherwise is warned about once.
        {"ReadVerOnly=0\nLogFile=0\nReadVerOnly=1\nReadVerOnly=2\nLogFile=00\nLogFile=\r\n"
         "TovrelaBin0=a.bin\nTovrelaBin1=b.bin\nTovrelaBin0=c.bin\r\nTovrelaBin1=b.bin\r\n",
         rc::ok,
         "tovrela-update: warning: update.ini line 4: 'ReadVerOnly=1' differs from line 2, which "
         "is the one read\ntovrela-update: warning: update.ini line 10: 'TovrelaBin0=c.bin' "
         "differs from line 8, which is the one read\n"},
        // The exact path from the profile needs a path on the command line too.
        {"ExactPath=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n", rc::refused,
         "tovrela-update: update.ini: ExactPath needs -path=, the hub's whole port path, as in "
         "-path=2.4 (-path=0: a hub without ports)\n"},
        {"Serial=SN 1\nTovrelaBin0=a.bin\n", rc::refused,
         "tovrela-update: update.ini line 2: 'Serial=SN 1': the value must be 1 to 511 characters "
         "without blanks, as in Serial=SN0001\n"},
        {"Serial=\r\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n", rc::ok, ""}};
    for (const auto& [lines, result, err] : cases) {
        SCOPED_TRACE(lines.substr(0, 40));
        dir.write("update.ini", "[Config]\n" + lines);
        gSettings = RunSettings{};
        int got = 0;
        EXPECT_EQ(capture_stderr([&] { got = load({"-vid=1"}); }), err);
        EXPECT_EQ(got, result);
        EXPECT_EQ(gSettings.gDbgMsg | gSettings.gReadVerOnly | gSettings.gLogFile, 0u);
        EXPECT_EQ(gSettings.gSerial[0], '\0'); // an empty value is none
    }
}

// Every number of the profile reads whole as hexadecimal of 16 bits (blanks around it allowed, an
// empty value is 0), or the load is refused before any image is looked at, naming key and line.
TEST_F(Settings, ProfileNumbersReadWholeOrAreRefused) {
    const std::string refused[]{
        "ReadVerOnly=yes",     "ReadVerOnly=on",      "ReadVerOnly=true",
        "ReadVerOnly=10000",   "ReadVerOnly=0x10000", std::string("ReadVerOnly=\0 1", 15),
        "CheckUpdateOnly=yes", "ReadBinOnly=Y",       "ExactPath=on",
        "DbgMsg=-1",           "DeviceNum=1 2",       "LogFile=0x"};
    for (const std::string& line : refused) {
        SCOPED_TRACE(line);
        write_profile("I2CTestOnly=2\n" + line + "\r\n");
        int result = 0;
        std::string shown = line;
        std::replace(shown.begin(), shown.end(), '\0', '?');
        const std::string key = line.substr(0, line.find('='));
        EXPECT_EQ(capture_stderr([&] { result = load({"-vid=1"}); }),
                  "tovrela-update: update.ini line 3: '" + shown +
                      "': the value must be a hexadecimal number of 16 bits, as in " + key +
                      "=1\n");
        EXPECT_EQ(result, rc::refused);
        EXPECT_EQ(out, "");
    }
    write_profile("ReadVerOnly=\t1 \r\nReadBinOnly=\nDeviceNum=0x1F\nDbgMsg=FFFF\nLogFile= \n");
    EXPECT_EQ(capture_stderr([&] { EXPECT_EQ(load({"-vid=1"}), rc::ok); }), "");
    EXPECT_EQ(gSettings.gReadVerOnly, 1u);
    EXPECT_EQ(gSettings.gReadBinOnly, 0u);
    EXPECT_EQ(gSettings.gDeviceNum, 0x1Fu);
    EXPECT_EQ(gSettings.gDbgMsg, 0xFFFFu);
}

// Each run of digits is one port 1 to 255, '.' and '_' between them, the value read whole; a
// port 0 ends the path (nothing may follow it); at most 7 ports.
TEST_F(Settings, PathPorts) {
    write_profile("");
    // clang-format off
    const std::pair<const char*, std::array<uint32_t, 7>> cases[]{
        {"1.2.3", {1, 2, 3}}, {"1_4", {1, 4}}, {"2.10.3", {2, 10, 3}}, {"3.0", {3}},
        {"255.1", {255, 1}}, {"02.4", {2, 4}}, {"1.2.3.4.5.6.7", {1, 2, 3, 4, 5, 6, 7}},
        {"1..2..3..4..5..6", {1, 2, 3, 4, 5, 6}}, {"_____________1", {1}}, {"0", {}}};
    // clang-format on
    for (const auto& [value, entries] : cases) {
        gSettings = RunSettings{};
        EXPECT_EQ(load({std::string("-path=") + value}), rc::ok);
        EXPECT_EQ(gSettings.gTargetPath, entries) << value;
        EXPECT_STREQ(gSettings.gPathText.data(), value);
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
