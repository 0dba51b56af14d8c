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
    explicit Profile(const std::string& content) {
        dir_.write("update.ini", content);
        path_ = dir_.file("update.ini");
    }
    const char* path() const { return path_.c_str(); }

  private:
    test_files::TempDir dir_;
    std::string path_;
};

struct StringCase {
    const char* name;
    std::string content;
    const char* key;
    int found;
    std::string value; // expected value when found
};

void PrintTo(const StringCase& c, std::ostream* os) {
    *os << c.name;
}

class ProfileString : public testing::TestWithParam<StringCase> {};

TEST_P(ProfileString, FindsOnlyEntriesOfTheFirstSection) {
    const StringCase& c = GetParam();
    Profile profile(c.content);
    char value[256] = "untouched";
    EXPECT_EQ(read_profile_stringS("Config", c.key, value, 255, "NA", profile.path()), c.found);
    EXPECT_EQ(std::string(value), c.found ? c.value : std::string("NA"));

    char raw[256] = "untouched";
    EXPECT_EQ(find_profile_entry(profile.path(), "Config", c.key, raw), c.found);
    EXPECT_EQ(std::string(raw), c.found ? c.value : std::string("untouched"));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ProfileString,
    testing::Values(
        StringCase{"plain", "[Config]\nDbgMsg=1\n", "DbgMsg", 1, "1"},
        StringCase{"blank_before_equals", "[Config]\nDbgMsg = 1\n", "DbgMsg", 0, ""},
        StringCase{"leading_blank", "[Config]\n DbgMsg=1\n", "DbgMsg", 0, ""},
        StringCase{"other_case_key", "[Config]\ndbgmsg=1\n", "DbgMsg", 0, ""},
        StringCase{"longer_key", "[Config]\nDbgMsgX=1\n", "DbgMsg", 0, ""},
        StringCase{"value_after_first_equals", "[Config]\nDbgMsg=X=1\n", "DbgMsg", 1, "X=1"},
        StringCase{"entry_above_header", "DbgMsg=1\n[Config]\n", "DbgMsg", 0, ""},
        StringCase{"other_section", "[Other]\nDbgMsg=1\n[Config]\nLogFile=1\n", "DbgMsg", 0, ""},
        StringCase{"header_other_case", "[config]\nDbgMsg=1\n", "DbgMsg", 0, ""},
        StringCase{"header_inside_comment", "; see [Config] below\nDbgMsg=1\n", "DbgMsg", 1, "1"},
        StringCase{"bracket_ends_section_at_entry", "[Config]\nTovrelaBin0=fw[1].bin\nDbgMsg=1\n",
                   "TovrelaBin0", 0, ""},
        StringCase{"bracket_hides_later_entries", "[Config]\nTovrelaBin0=fw[1].bin\nDbgMsg=1\n",
                   "DbgMsg", 0, ""},
        StringCase{"bracket_in_comment_ends", "[Config]\n; [note]\nDbgMsg=1\n", "DbgMsg", 0, ""},
        StringCase{"second_section_never_read", "[Config]\nA=1\n[Config]\nDbgMsg=2\n", "DbgMsg", 0,
                   ""},
        StringCase{"first_entry_wins", "[Config]\nDbgMsg=1\nDbgMsg=2\n", "DbgMsg", 1, "1"},
        StringCase{"cr_before_lf_stays", "[Config]\r\nTovrelaBin0=a.bin\r\n", "TovrelaBin0", 1,
                   "a.bin\r"},
        StringCase{"blanks_kept", "[Config]\nTovrelaBin0= a b \n", "TovrelaBin0", 1, " a b "},
        StringCase{"last_line_without_lf", "[Config]\nDbgMsg=7", "DbgMsg", 1, "7"},
        StringCase{"empty_value_found", "[Config]\nDbgMsg=\n", "DbgMsg", 1, ""},
        StringCase{"blank_and_junk_lines_skipped", "\n[Config]\n\n# c\n=x\nDbgMsg=3\n", "DbgMsg", 1,
                   "3"}),
    [](const testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

TEST(ProfileLongLines, LineOf250IsReadAsTwoPieces) {
    // 199 characters fill the first piece; the remaining 51 are a line of their own.
    const std::string tail = "DbgMsg=" + std::string(44, 'v');
    Profile profile("[Config]\n" + std::string(199, 'x') + tail + "\n");
    char value[256] = {};
    ASSERT_EQ(read_profile_stringS("Config", "DbgMsg", value, 255, "NA", profile.path()), 1);
    EXPECT_EQ(std::string(value), std::string(44, 'v'));
}

TEST(ProfileLongLines, LongValueIsCutAtThePieceAndItsRestIsNoEntry) {
    Profile profile("[Config]\nDbgMsg=" + std::string(250, 'a') + "\nLogFile=1\n");
    char value[256] = {};
    ASSERT_EQ(read_profile_stringS("Config", "DbgMsg", value, 255, "NA", profile.path()), 1);
    EXPECT_EQ(std::string(value), std::string(199 - 7, 'a'));
    EXPECT_EQ(read_profile_hex("Config", "LogFile", 9, profile.path()), 1);
}

TEST(ProfileLongLines, BracketInALaterPieceEndsTheSection) {
    Profile profile("[Config]\n" + std::string(199, 'x') + "[\nDbgMsg=1\n");
    EXPECT_EQ(read_profile_hex("Config", "DbgMsg", 0xAB, profile.path()), 0xAB);
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

    const std::string too_long_section = section + "s";
    const std::string too_long_key = key + "k";
    EXPECT_EQ(read_profile_stringS(too_long_section.c_str(), "k", value, 255, "NA", profile.path()),
              0);
    EXPECT_EQ(read_profile_stringS(section.c_str(), too_long_key.c_str(), value, 255, "NA",
                                   profile.path()),
              0);
    const std::string huge(5000, 'h');
    EXPECT_EQ(read_profile_hex(huge.c_str(), huge.c_str(), 0x55, profile.path()), 0x55);
}

TEST(ProfileStringLookup, MissLeavesValueOrCopiesDefault) {
    Profile profile("[Config]\nDbgMsg=1\n");
    char value[256] = "before";
    EXPECT_EQ(read_profile_string("Config", "Missing", value, 255, "NA", profile.path()), 0);
    EXPECT_STREQ(value, "before");
    EXPECT_EQ(read_profile_string("Config", "DbgMsg", value, 255, "NA", profile.path()), 1);
    EXPECT_STREQ(value, "1");
    EXPECT_EQ(read_profile_stringS("Config", "Missing", value, 255, "NA", profile.path()), 0);
    EXPECT_STREQ(value, "NA");
}

TEST(ProfileStringLookup, NeverWritesMoreThanSizeBytes) {
    Profile profile("[Config]\nTovrelaBin0=abcdefgh\n");
    char value[16];
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
    std::strcpy(value, "untouched");
    EXPECT_EQ(read_profile_string("Config", "TovrelaBin0", value, 255, "NA", missing.c_str()), 0);
    EXPECT_STREQ(value, "untouched");
    EXPECT_EQ(read_profile_hex("Config", "DeviceNum", 0x1234, missing.c_str()), 0x1234);
    EXPECT_EQ(read_profile_int("Config", "DeviceNum", -3, missing.c_str()), -3);
}

struct NumberCase {
    const char* value;
    uint16_t hex;
    int32_t decimal;
};

class ProfileNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ProfileNumber, ReadsHexCutTo16BitsAndDecimal) {
    const NumberCase& c = GetParam();
    Profile profile(std::string("[Config]\r\nDbgMsg=") + c.value + "\r\n");
    EXPECT_EQ(read_profile_hex("Config", "DbgMsg", 0xBEEF, profile.path()), c.hex) << c.value;
    EXPECT_EQ(read_profile_int("Config", "DbgMsg", -99, profile.path()), c.decimal) << c.value;
}

INSTANTIATE_TEST_SUITE_P(Values, ProfileNumber,
                         testing::Values(NumberCase{"10", 0x10, 10},
                                         NumberCase{"12345", 0x2345, 12345},
                                         NumberCase{"0x1F", 0x1F, 0}, NumberCase{"0Xab", 0xAB, 0},
                                         NumberCase{"  7f", 0x7F, 7}, NumberCase{"-1", 0xFFFF, -1},
                                         NumberCase{"123456789ABCDEF0123", 0x0123, 123456789},
                                         NumberCase{"99999999999", 0x9999, INT32_MAX},
                                         NumberCase{"-99999999999", 0x6667, INT32_MIN},
                                         NumberCase{"yes", 0, 0}, NumberCase{"", 0, 0},
                                         NumberCase{"0x", 0, 0}, NumberCase{"12 34", 0x12, 12}));

TEST(ProfileNumberMissing, MissingKeyGivesDefault) {
    Profile profile("[Config]\nDbgMsg=1\n");
    EXPECT_EQ(read_profile_hex("Config", "LogFile", 0xBEEF, profile.path()), 0xBEEF);
    EXPECT_EQ(read_profile_int("Config", "LogFile", 42, profile.path()), 42);
}

TEST(ProfileFiles, EveryLookupClosesTheFile) {
    Profile profile("[Config]\nDbgMsg=1\n[Next]\n");
    const auto count_fds = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator("/proc/self/fd")) {
            ++n;
        }
        return n;
    };
    const std::size_t before = count_fds();
    for (int i = 0; i < 20; ++i) {
        read_profile_hex("Config", "DbgMsg", 0, profile.path());  // found
        read_profile_hex("Config", "LogFile", 0, profile.path()); // section ended
        read_profile_hex("Other", "LogFile", 0, profile.path());  // end of file
    }
    EXPECT_EQ(count_fds(), before);
}

// Regular expression for a text taken literally.
std::string literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]{}()\\*+?^$|", c) != nullptr) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

struct AssertCase {
    const char* function;
    int line;
    const char* condition;
    const char* section;
    const char* key;
    bool value;
    int32_t size;
    const char* default_value;
    const char* file;
};

void PrintTo(const AssertCase& c, std::ostream* os) {
    *os << c.function << ':' << c.line;
}

class ProfileStringDeathTest : public testing::TestWithParam<AssertCase> {};

TEST_P(ProfileStringDeathTest, ReportsTheFirstFailedPrecondition) {
    const AssertCase& c = GetParam();
    char buffer[256] = {};
    char* value = c.value ? buffer : nullptr;
    const std::string report =
        literal(std::string("../src/IniUpdate:") + std::to_string(c.line) + ": " + c.function +
                ": Assertion `" + c.condition + "' failed.");
    const bool plain = std::strcmp(c.function, "read_profile_string") == 0;
    EXPECT_DEATH(
        {
            if (plain) {
                read_profile_string(c.section, c.key, value, c.size, c.default_value, c.file);
            } else {
                read_profile_stringS(c.section, c.key, value, c.size, c.default_value, c.file);
            }
        },
        report);
}

constexpr const char* section_cond = "section != nullptr && *section != '\\0'";
constexpr const char* key_cond = "key != nullptr && *key != '\\0'";
constexpr const char* value_cond = "value != nullptr";
constexpr const char* size_cond = "size > 0";
constexpr const char* file_cond = "file != nullptr && *file != '\\0'";
constexpr const char* default_cond = "default_value != nullptr";

INSTANTIATE_TEST_SUITE_P(
    Preconditions, ProfileStringDeathTest,
    testing::Values(
        AssertCase{"read_profile_string", 141, section_cond, nullptr, "k", true, 10, "d", "f"},
        AssertCase{"read_profile_string", 141, section_cond, "", "k", true, 10, "d", "f"},
        AssertCase{"read_profile_string", 142, key_cond, "s", "", true, 10, "d", "f"},
        AssertCase{"read_profile_string", 143, value_cond, "s", "k", false, 10, "d", "f"},
        AssertCase{"read_profile_string", 144, size_cond, "s", "k", true, 0, "d", nullptr},
        AssertCase{"read_profile_string", 145, file_cond, "s", "k", true, 10, nullptr, ""},
        AssertCase{"read_profile_string", 146, default_cond, "s", "k", true, 10, nullptr, "f"},
        AssertCase{"read_profile_stringS", 158, section_cond, "", nullptr, true, 10, "d", "f"},
        AssertCase{"read_profile_stringS", 159, key_cond, "s", nullptr, true, 10, "d", "f"},
        AssertCase{"read_profile_stringS", 160, value_cond, "s", "k", false, -1, "d", "f"},
        AssertCase{"read_profile_stringS", 161, size_cond, "s", "k", true, -5, "d", "f"},
        AssertCase{"read_profile_stringS", 162, file_cond, "s", "k", true, 10, "d", nullptr},
        AssertCase{"read_profile_stringS", 163, default_cond, "s", "k", true, 10, nullptr, "f"}));

} // namespace
