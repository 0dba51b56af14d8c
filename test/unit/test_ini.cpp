// The profile reader: sections, entries, lines read in pieces of 199 characters, numbers,
// bounds, a missing file and the assertions of the string lookups.
#include "IniUpdate.h"
#include "test_files.h"

#include <climits>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

// A profile file in a fresh directory, removed with it.
class Profile {
  public:
    explicit Profile(const std::string& content) { dir_.write("update.ini", content); }
    const char* path() const { return path_.c_str(); }

  private:
    test_files::TempDir dir_;
    std::string path_ = dir_.file("update.ini");
};

// A section starts at a line holding "[Config]" and ends at the next line holding any '['; an
// entry is a line that starts with "key=".
TEST(ProfileString, FindsOnlyEntriesOfTheFirstSection) {
    const struct {
        const char* content;
        const char* key;
        const char* value; // null when not found
    } cases[]{
        {"[Config]\nDbgMsg=1\n", "DbgMsg", "1"},
        {"[Config]\n DbgMsg=1\n", "DbgMsg", nullptr},
        {"[Config]\ndbgmsg=1\n", "DbgMsg", nullptr},
        {"[Config]\nDbgMsgX=1\n", "DbgMsg", nullptr},
        {"[Config]\nDbgMsg=X=1\n", "DbgMsg", "X=1"},
        {"DbgMsg=1\n[Config]\n", "DbgMsg", nullptr},
        {"[Other]\nDbgMsg=1\n[Config]\nLogFile=1\n", "DbgMsg", nullptr},
        {"[config]\nDbgMsg=1\n", "DbgMsg", nullptr},
        {"; see [Config] below\nDbgMsg=1\n", "DbgMsg", "1"},
        {"[Config]\nTovrelaBin0=fw[1].bin\n", "TovrelaBin0", nullptr},
        {"[Config]\n; [note]\nDbgMsg=1\n", "DbgMsg", nullptr},
        {"[Config]\nA=1\n[Config]\nDbgMsg=2\n", "DbgMsg", nullptr}, // a second one is never read
        {"[Config]\nDbgMsg=1\nDbgMsg=2\n", "DbgMsg", "1"},
        {"[Config]\r\nTovrelaBin0=a.bin\r\n", "TovrelaBin0", "a.bin\r"}, // CR stays
        {"[Config]\nTovrelaBin0= a b \n", "TovrelaBin0", " a b "},
        {"[Config]\nDbgMsg=7", "DbgMsg", "7"},
        {"[Config]\nDbgMsg=\n", "DbgMsg", ""},
        {"\n[Config]\n\n# c\n=x\nDbgMsg=3\n", "DbgMsg", "3"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        Profile profile(c.content);
        const int found = c.value != nullptr ? 1 : 0;
        char value[256] = "untouched";
        EXPECT_EQ(read_profile_stringS("Config", c.key, value, 255, "NA", profile.path()), found);
        EXPECT_STREQ(value, found ? c.value : "NA");
        char raw[256] = "untouched";
        EXPECT_EQ(find_profile_entry(profile.path(), "Config", c.key, raw), found);
        EXPECT_STREQ(raw, found ? c.value : "untouched");
    }
}

TEST(ProfileLongLines, AreReadInPiecesOf199Characters) {
    // 199 characters fill the first piece; the rest of the line is a line of its own.
    Profile first("[Config]\n" + std::string(199, 'x') + "DbgMsg=" + std::string(44, 'v') + "\n");
    char value[256] = {};
    ASSERT_EQ(read_profile_stringS("Config", "DbgMsg", value, 255, "NA", first.path()), 1);
    EXPECT_EQ(std::string(value), std::string(44, 'v'));

    // A long value is cut at the end of the piece, and its rest is no entry.
    Profile second("[Config]\nDbgMsg=" + std::string(250, 'a') + "\nLogFile=1\n");
    ASSERT_EQ(read_profile_stringS("Config", "DbgMsg", value, 255, "NA", second.path()), 1);
    EXPECT_EQ(std::string(value), std::string(199 - 7, 'a'));
    EXPECT_EQ(read_profile_hex("Config", "LogFile", 9, second.path()), 1);

    // A '[' in a later piece ends the section.
    Profile third("[Config]\n" + std::string(199, 'x') + "[\nDbgMsg=1\n");
    EXPECT_EQ(read_profile_hex("Config", "DbgMsg", 0xAB, third.path()), 0xAB);
}

TEST(ProfileNames, LongestNamesWorkAndLongerOnesAreNotFound) {
    const std::string section(197, 's');
    const std::string key(198, 'k');
    // "[" + 197 + "]" and 198 + "=" each fill one 199-character piece.
    Profile profile("[" + section + "]\n" + key + "=\n" + key + "k=1\n");
    char value[256] = "untouched";
    EXPECT_EQ(read_profile_stringS(section.c_str(), key.c_str(), value, 255, "NA", profile.path()),
              1);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(read_profile_string((section + "s").c_str(), "k", value, 255, "NA", profile.path()),
              0);
    EXPECT_EQ(
        read_profile_string(section.c_str(), (key + "k").c_str(), value, 255, "NA", profile.path()),
        0);
    const std::string huge(5000, 'h');
    EXPECT_EQ(read_profile_hex(huge.c_str(), huge.c_str(), 0x55, profile.path()), 0x55);
}

TEST(ProfileStringLookup, MissesAndBounds) {
    Profile profile("[Config]\nTovrelaBin0=abcdefgh\n");
    char value[16] = "before";
    EXPECT_EQ(read_profile_string("Config", "Missing", value, 15, "NA", profile.path()), 0);
    EXPECT_STREQ(value, "before");

    // Never more than `size` bytes, the terminator included.
    std::memset(value, '#', sizeof value);
    EXPECT_EQ(read_profile_string("Config", "TovrelaBin0", value, 4, "NA", profile.path()), 1);
    EXPECT_STREQ(value, "abc");
    EXPECT_EQ(value[4], '#');
    std::memset(value, '#', sizeof value);
    EXPECT_EQ(read_profile_stringS("Config", "Missing", value, 3, "default", profile.path()), 0);
    EXPECT_STREQ(value, "de");
    EXPECT_EQ(value[3], '#');
}

TEST(ProfileMissingFile, EveryLookupGivesItsDefault) {
    test_files::TempDir dir;
    const std::string missing = dir.file("update.ini");
    char value[256] = "untouched";
    EXPECT_EQ(read_profile_stringS("Config", "TovrelaBin0", value, 255, "NA", missing.c_str()), 0);
    EXPECT_STREQ(value, "NA");
    EXPECT_EQ(read_profile_hex("Config", "DeviceNum", 0x1234, missing.c_str()), 0x1234);
}

TEST(ProfileNumber, HexCutTo16BitsAndDecimal) {
    // No number reads as 0, not as the default.
    // clang-format off
    const struct {
        const char* value;
        uint16_t hex;
        int32_t decimal;
    } cases[]{{"10", 0x10, 10}, {"12345", 0x2345, 12345}, {"0Xab", 0xAB, 0}, {"  7f", 0x7F, 7},
              {"-1", 0xFFFF, -1}, {"123456789ABCDEF0123", 0x0123, 123456789},
              {"99999999999", 0x9999, INT32_MAX}, {"-99999999999", 0x6667, INT32_MIN},
              {"yes", 0, 0}, {"0x", 0, 0}};
    // clang-format on
    for (const auto& c : cases) {
        Profile profile(std::string("[Config]\r\nDbgMsg=") + c.value + "\r\n");
        EXPECT_EQ(read_profile_hex("Config", "DbgMsg", 0xBEEF, profile.path()), c.hex) << c.value;
        EXPECT_EQ(read_profile_int("Config", "DbgMsg", -99, profile.path()), c.decimal) << c.value;
    }
    Profile profile("[Config]\nDbgMsg=1\n");
    EXPECT_EQ(read_profile_hex("Config", "LogFile", 0xBEEF, profile.path()), 0xBEEF);
    EXPECT_EQ(read_profile_int("Config", "LogFile", 42, profile.path()), 42);
}

TEST(ProfileFiles, EveryLookupClosesTheFile) {
    Profile profile("[Config]\nDbgMsg=1\n[Next]\n");
    const auto count_fds = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    const auto before = count_fds();
    for (int i = 0; i < 20; ++i) {
        (void)read_profile_hex("Config", "DbgMsg", 0, profile.path());  // found
        (void)read_profile_hex("Config", "LogFile", 0, profile.path()); // section ended
        (void)read_profile_hex("Other", "LogFile", 0, profile.path());  // end of file
    }
    EXPECT_EQ(count_fds(), before);
}

// Each failed precondition stops the process with the standard report naming the module's line.
TEST(ProfileStringDeathTest, ReportsTheFirstFailedPrecondition) {
    const char* const section = "section != nullptr && \\*section != '\\\\0'";
    const char* const key = "key != nullptr && \\*key != '\\\\0'";
    const char* const file = "file != nullptr && \\*file != '\\\\0'";
    const struct {
        bool plain; // read_profile_string, else read_profile_stringS
        int line;
        const char* condition; // as a regular expression
        const char *s, *k;
        bool value;
        int32_t size;
        const char *d, *f;
    } cases[]{{true, 141, section, nullptr, "k", true, 10, "d", "f"},
              {true, 142, key, "s", "", true, 10, "d", "f"},
              {true, 143, "value != nullptr", "s", "k", false, 10, "d", "f"},
              {true, 144, "size > 0", "s", "k", true, 0, "d", nullptr},
              {true, 145, file, "s", "k", true, 10, nullptr, ""},
              {true, 146, "default_value != nullptr", "s", "k", true, 10, nullptr, "f"},
              {false, 158, section, "", nullptr, true, 10, "d", "f"},
              {false, 159, key, "s", nullptr, true, 10, "d", "f"},
              {false, 160, "value != nullptr", "s", "k", false, -1, "d", "f"},
              {false, 161, "size > 0", "s", "k", true, -5, "d", "f"},
              {false, 162, file, "s", "k", true, 10, "d", nullptr},
              {false, 163, "default_value != nullptr", "s", "k", true, 10, nullptr, "f"}};
    for (const auto& c : cases) {
        char buffer[256] = {};
        char* value = c.value ? buffer : nullptr;
        const std::string report = std::string("\\.\\./src/IniUpdate:") + std::to_string(c.line) +
                                   ": " +
                                   (c.plain ? "read_profile_string" : "read_profile_stringS") +
                                   ": Assertion `" + c.condition + "' failed\\.";
        if (c.plain) {
            EXPECT_DEATH((void)read_profile_string(c.s, c.k, value, c.size, c.d, c.f), report);
        } else {
            EXPECT_DEATH((void)read_profile_stringS(c.s, c.k, value, c.size, c.d, c.f), report);
        }
    }
}

} // namespace
