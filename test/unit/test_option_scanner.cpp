#include "option_scanner.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The command-line text for the arguments after the program name.
std::string joined(const std::vector<std::string>& args) {
    std::vector<std::string> storage{"tovrela-update"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const std::unique_ptr<char[]> text =
        build_command_line_text(static_cast<int>(storage.size()), argv.data());
    EXPECT_NE(text, nullptr);
    return text ? std::string(text.get()) : std::string();
}

struct JoinCase {
    std::vector<std::string> args;
    std::string text;
};

class CommandLineText : public testing::TestWithParam<JoinCase> {};

TEST_P(CommandLineText, KeepsPrintablesAndFoldsSpaces) {
    EXPECT_EQ(joined(GetParam().args), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Joining, CommandLineText,
    testing::Values(JoinCase{{"-vid=1A2B", "-pid=03C4"}, "-vid=1A2B -pid=03C4 "},
                    JoinCase{{""}, " "}, JoinCase{{"", "", ""}, " "}, JoinCase{{}, ""},
                    JoinCase{{"a\tb"}, "ab "},
                    JoinCase{{"Pr\xC3\xBC"
                              "f.bin"},
                             "Prf.bin "},
                    JoinCase{{"  a  ", "b"}, " a b "}, JoinCase{{"a \t\x7F b", "\n"}, "a b "},
                    JoinCase{{"x\r\n", "\x01y\xFF"}, "x y "},
                    JoinCase{{"-vid= ", "1A2B"}, "-vid= 1A2B "}));

struct NormalizeCase {
    std::string in;
    std::string out;
};

class NormalizeText : public testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeText, LowersAndFoldsWhiteSpace) {
    std::string text = GetParam().in;
    normalize_text(text.data());
    EXPECT_EQ(std::string(text.c_str()), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Texts, NormalizeText,
                         testing::Values(NormalizeCase{"-VID=1A2B", "-vid=1a2b"},
                                         NormalizeCase{"a \t\r\n\v\f b", "a b"},
                                         NormalizeCase{"ab\n", "ab"}, NormalizeCase{"ab \n", "ab "},
                                         NormalizeCase{"  x  ", " x "}, NormalizeCase{"\n", ""},
                                         NormalizeCase{"\n\n", " "}, NormalizeCase{"a\nb", "a b"},
                                         NormalizeCase{"\xC4\xD6Z[", "\xC4\xD6z["},
                                         NormalizeCase{"", ""}));

TEST(NormalizeTextEdge, AbsentTextIsIgnored) {
    normalize_text(nullptr);
}

TEST(NormalizeTextEdge, TextsBeyond16BitLengthsAreHandledWhole) {
    std::string text = std::string(40000, 'A') + " \t " + std::string(30000, 'B') + "\n";
    normalize_text(text.data());
    EXPECT_EQ(std::string(text.c_str()), std::string(40000, 'a') + " " + std::string(30000, 'b'));
}

TEST(FindOption, ReturnsThePositionInTheGivenText) {
    const char* text = "-hub1bin=x --VID=5 ";
    EXPECT_EQ(find_option(text, "-vid"), text + 12);
    EXPECT_EQ(find_option(text, "-Hub1Bin"), text);
    EXPECT_EQ(find_option(text, "-pid"), nullptr);
    EXPECT_EQ(find_option(text, ""), nullptr);
    EXPECT_EQ(find_option("", "-vid"), nullptr);
    EXPECT_EQ(find_option(nullptr, "-vid"), nullptr);
    EXPECT_EQ(find_option(text, nullptr), nullptr);
}

struct ValueCase {
    std::vector<std::string> args;
    const char* name;
    int result;
    std::string value; // expected when result is 0
};

class OptionValue : public testing::TestWithParam<ValueCase> {};

TEST_P(OptionValue, TakesTheGraphicRunAfterTheNextEquals) {
    const ValueCase& c = GetParam();
    const std::string text = joined(c.args);
    char dest[64] = "keep";
    EXPECT_EQ(get_option_value(text.c_str(), c.name, dest, sizeof dest), c.result);
    EXPECT_EQ(std::string(dest), c.result == 0 ? c.value : std::string("keep"));
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionValue,
    testing::Values(ValueCase{{"-VID=1A2B", "-pid=03C4"}, "-vid", 0, "1A2B"},
                    ValueCase{{"-VID=1A2B", "-pid=03C4"}, "-PID", 0, "03C4"},
                    ValueCase{{"-vid", "1A2B", "-pid=03C4"}, "-vid", 0, "03C4"},
                    ValueCase{{"-vid=", "1A2B"}, "-vid", 0, "1A2B"},
                    ValueCase{{"-pid=1", "-vid="}, "-vid", -5, ""},
                    ValueCase{{"-vid", "1A2B"}, "-vid", -5, ""},
                    ValueCase{{"-pid=1"}, "-vid", -5, ""},
                    ValueCase{{"-hub1bin=-vid=1.bin", "-vid=1A2B"}, "-vid", 0, "1.bin"},
                    ValueCase{{"--vid=5"}, "-vid", 0, "5"}, ValueCase{{"-vidx=5"}, "-vid", 0, "5"},
                    ValueCase{{"-vid=1", "-vid=2"}, "-vid", 0, "1"},
                    ValueCase{{"-hub1bin=FW.BIN"}, "-hub1bin", 0, "FW.BIN"},
                    ValueCase{{"-hub1bin=My Fw.bin"}, "-hub1bin", 0, "My"},
                    ValueCase{{"-hub1bin=Pr\xC3\xBC"
                               "f.bin"},
                              "-hub1bin",
                              0,
                              "Prf.bin"},
                    ValueCase{{"", ""}, "-vid", -5, ""}));

TEST(OptionValueEdge, SkipsNonGraphicBytesAfterEquals) {
    char dest[16] = "keep";
    EXPECT_EQ(get_option_value("-vid=\t\x80\x01 \xFF"
                               "5a\x80z",
                               "-vid", dest, sizeof dest),
              0);
    EXPECT_STREQ(dest, "5a");
    std::strcpy(dest, "keep");
    EXPECT_EQ(get_option_value("-vid= \t\x80", "-vid", dest, sizeof dest), -5);
    EXPECT_STREQ(dest, "keep");
}

TEST(OptionValueEdge, AbsentArgumentsGiveMinusTwo) {
    char dest[16] = "keep";
    EXPECT_EQ(get_option_value(nullptr, "-vid", dest, sizeof dest), -2);
    EXPECT_EQ(get_option_value("-vid=1 ", nullptr, dest, sizeof dest), -2);
    EXPECT_EQ(get_option_value("-vid=1 ", "-vid", nullptr, 16), -2);
    EXPECT_EQ(get_option_value("-vid=1 ", "-vid", dest, 0), -2);
    EXPECT_STREQ(dest, "keep");
}

class LongValue : public testing::TestWithParam<std::size_t> {};

TEST_P(LongValue, IsCutToCapacityLessOne) {
    const std::size_t capacity = GetParam();
    const std::string text = joined({"-hub1bin=" + std::string(capacity + 100, 'v'), "-vid=1"});
    std::vector<char> dest(capacity + 8, '#');
    ASSERT_EQ(get_option_value(text.c_str(), "-hub1bin", dest.data(), capacity), 0);
    EXPECT_EQ(std::string(dest.data()), std::string(capacity - 1, 'v'));
    EXPECT_EQ(dest[capacity], '#');
}

INSTANTIATE_TEST_SUITE_P(Capacities, LongValue, testing::Values(1, 2, 64, 512));

struct NumberCase {
    std::string arg;
    const char* name;
    int base;
    uint32_t number;
};

class OptionNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(OptionNumber, StoresLow32BitsOfTheConversion) {
    const NumberCase& c = GetParam();
    const std::string text = joined({"-other=x", c.arg});
    uint32_t dest = 0xDEADBEEF;
    EXPECT_EQ(get_option_number(text.c_str(), c.name, c.base, &dest), 0);
    EXPECT_EQ(dest, c.number) << c.arg;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, OptionNumber,
    testing::Values(NumberCase{"-VID=1A2B", "-vid", 16, 0x1A2B},
                    NumberCase{"-vid=0x1A2B", "-vid", 16, 0x1A2B},
                    NumberCase{"-selftest=0x1", "-selftest", 10, 0},
                    NumberCase{"-selftest=12", "-selftest", 10, 12},
                    NumberCase{"-vid=zz", "-vid", 16, 0},
                    NumberCase{"-vid=123456789", "-vid", 16, 0x23456789},
                    NumberCase{"-vid=-1", "-vid", 16, 0xFFFFFFFF},
                    NumberCase{"-hub1bin=-vid=1.bin", "-vid", 16, 1},
                    // the 64-byte value text keeps 63 characters: the trailing 'F' is cut off
                    NumberCase{"-vid=" + std::string(62, '0') + "1F", "-vid", 16, 1},
                    // beyond the range of long the conversion saturates
                    NumberCase{"-vid=123456789ABCDEF0123", "-vid", 16, 0xFFFFFFFF},
                    NumberCase{"-vid=-123456789ABCDEF0123", "-vid", 16, 0}));

TEST(OptionNumberFailure, FailureLeavesDestination) {
    uint32_t dest = 0xDEADBEEF;
    EXPECT_EQ(get_option_number("-vid= ", "-vid", 16, &dest), -5);
    EXPECT_EQ(get_option_number("-pid=1 ", "-vid", 16, &dest), -5);
    EXPECT_EQ(get_option_number(nullptr, "-vid", 16, &dest), -2);
    EXPECT_EQ(get_option_number("-vid=1 ", nullptr, 16, &dest), -2);
    EXPECT_EQ(dest, 0xDEADBEEFu);
}

} // namespace
