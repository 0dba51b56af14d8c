// The option scanner: the joined command-line text, normalising, lookups, values and numbers.
#include "option_scanner.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The command-line text for the arguments after the program name.
std::string joined(std::vector<std::string> args) {
    args.insert(args.begin(), "tovrela-update");
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const auto text = build_command_line_text(static_cast<int>(args.size()), argv.data());
    EXPECT_NE(text, nullptr);
    return text ? std::string(text.get()) : std::string();
}

TEST(CommandLineText, KeepsPrintablesAndFoldsSpaces) {
    const std::pair<std::vector<std::string>, std::string> cases[]{
        {{"-vid=1A2B", "-pid=03C4"}, "-vid=1A2B -pid=03C4 "},
        {{}, ""},
        {{""}, " "},
        {{"a\tb"}, "ab "}, // a tab is dropped, not turned into a space
        {{"Pr\xC3\xBC"
          "f.bin"},
         "Prf.bin "}, // non-ASCII bytes are dropped
        {{"  a  ", "b"}, " a b "},
        {{"a \t\x7F b", "\n"}, "a b "}, // dropped bytes do not interrupt a run of spaces
        {{"x\r\n", "\x01y\xFF"}, "x y "}};
    for (const auto& [args, text] : cases) {
        EXPECT_EQ(joined(args), text) << testing::PrintToString(args);
    }
}

TEST(NormalizeText, LowersAndFoldsWhiteSpace) {
    // clang-format off
    const std::pair<std::string, std::string> cases[]{
        {"-VID=1A2B", "-vid=1a2b"}, {"a \t\r\n\v\f b", "a b"}, {"ab\n", "ab"}, {"ab \n", "ab "},
        {"\n\n", " "}, {"a\nb", "a b"}, {"", ""}, {"\xC4\xD6Z[", "\xC4\xD6z["}};
    // clang-format on
    for (const auto& [in, out] : cases) {
        std::string text = in;
        normalize_text(text.data());
        EXPECT_EQ(std::string(text.c_str()), out) << testing::PrintToString(in);
    }
    normalize_text(nullptr);

    // Nothing wraps at 65,536 characters.
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

TEST(OptionValue, TakesTheGraphicRunAfterTheNextEquals) {
    const struct {
        std::vector<std::string> args;
        const char* name;
        const char* value; // null: not found (-5)
    } cases[]{{{"-VID=1A2B", "-pid=03C4"}, "-vid", "1A2B"},
              {{"-VID=1A2B", "-pid=03C4"}, "-PID", "03C4"},
              {{"-vid", "1A2B", "-pid=03C4"}, "-vid", "03C4"}, // the '=' of a later option
              {{"-vid=", "1A2B"}, "-vid", "1A2B"},
              {{"-pid=1", "-vid="}, "-vid", nullptr},
              {{"-vid", "1A2B"}, "-vid", nullptr},
              {{"-pid=1"}, "-vid", nullptr},
              {{"-hub1bin=-vid=1.bin", "-vid=1A2B"}, "-vid", "1.bin"}, // a substring matches
              {{"-vidx=5"}, "-vid", "5"},
              {{"-vid=1", "-vid=2"}, "-vid", "1"},
              {{"-hub1bin=My Fw.BIN"}, "-hub1bin", "My"}};
    for (const auto& c : cases) {
        const std::string text = joined(c.args);
        char dest[64] = "keep";
        EXPECT_EQ(get_option_value(text.c_str(), c.name, dest, sizeof dest), c.value ? 0 : -5)
            << text;
        EXPECT_STREQ(dest, c.value ? c.value : "keep") << text;
    }

    // Non-graphic bytes after '=' are skipped; a value of none is not found.
    char dest[16] = "keep";
    EXPECT_EQ(get_option_value("-vid=\t\x80\x01 \xFF"
                               "5a\x80z",
                               "-vid", dest, sizeof dest),
              0);
    EXPECT_STREQ(dest, "5a");
    std::strcpy(dest, "keep");
    EXPECT_EQ(get_option_value("-vid= \t\x80", "-vid", dest, sizeof dest), -5);
    EXPECT_EQ(get_option_value(nullptr, "-vid", dest, sizeof dest), -2);
    EXPECT_EQ(get_option_value("-vid=1 ", nullptr, dest, sizeof dest), -2);
    EXPECT_EQ(get_option_value("-vid=1 ", "-vid", nullptr, 16), -2);
    EXPECT_EQ(get_option_value("-vid=1 ", "-vid", dest, 0), -2);
    EXPECT_STREQ(dest, "keep");
}

TEST(OptionValue, LongValueIsCutToCapacityLessOne) {
    for (std::size_t capacity : {1u, 2u, 64u, 512u}) {
        const std::string text = joined({"-hub1bin=" + std::string(capacity + 100, 'v'), "-vid=1"});
        std::vector<char> dest(capacity + 8, '#');
        ASSERT_EQ(get_option_value(text.c_str(), "-hub1bin", dest.data(), capacity), 0);
        EXPECT_EQ(std::string(dest.data()), std::string(capacity - 1, 'v'));
        EXPECT_EQ(dest[capacity], '#');
    }
}

TEST(OptionNumber, StoresLow32BitsOfTheConversion) {
    const struct {
        std::string arg;
        int base;
        uint32_t number;
    } cases[]{{"-VID=1A2B", 16, 0x1A2B},
              {"-vid=0x1A2B", 16, 0x1A2B},
              {"-vid=0x1", 10, 0},
              {"-vid=12", 10, 12},
              {"-vid=zz", 16, 0},
              {"-vid=123456789", 16, 0x23456789},
              {"-vid=-1", 16, 0xFFFFFFFF},
              // the 64-byte value text keeps 63 characters: the trailing 'F' is cut off
              {"-vid=" + std::string(62, '0') + "1F", 16, 1},
              // beyond the range of long the conversion saturates
              {"-vid=123456789ABCDEF0123", 16, 0xFFFFFFFF},
              {"-vid=-123456789ABCDEF0123", 16, 0}};
    for (const auto& c : cases) {
        const std::string text = joined({"-other=x", c.arg});
        uint32_t dest = 0xDEADBEEF;
        EXPECT_EQ(get_option_number(text.c_str(), "-vid", c.base, &dest), 0) << c.arg;
        EXPECT_EQ(dest, c.number) << c.arg;
    }

    uint32_t dest = 0xDEADBEEF;
    EXPECT_EQ(get_option_number("-vid= ", "-vid", 16, &dest), -5);
    EXPECT_EQ(get_option_number("-pid=1 ", "-vid", 16, &dest), -5);
    EXPECT_EQ(get_option_number(nullptr, "-vid", 16, &dest), -2);
    EXPECT_EQ(get_option_number("-vid=1 ", nullptr, 16, &dest), -2);
    EXPECT_EQ(dest, 0xDEADBEEFu);
}

} // namespace
