// Loading the run settings: the "Config" section of "update.ini" first, then the command line,
// both driven by the one table of the settings.
#include "settings.h"

#include "IniUpdate.h"
#include "file_access.h"
#include "message_output.h"
#include "result_codes.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <sys/stat.h>

RunSettings gSettings;

namespace {

constexpr const char* profile_file = "update.ini";
constexpr const char* profile_section = "Config";

using Base = SettingBase;
using Form = PrintForm;

template <auto member> std::span<char> text_of(RunSettings& s) {
    return s.*member;
}

// A row whose value is a number kept in `member`. A row of another base does not compile, and
// the compiler names the row.
consteval SettingInfo number_row(SettingInfo info, uint32_t RunSettings::*member) {
    if (info.base != Base::hex && info.base != Base::dec) {
        throw "a setting kept in a number must be read as a hexadecimal or decimal number";
    }
    info.field.number = member;
    return info;
}

// A row whose value is a text kept in `member`. A row of a number base does not compile.
template <auto member> consteval SettingInfo text_row(SettingInfo info) {
    if (info.base == Base::hex || info.base == Base::dec) {
        throw "a setting kept in a text must be read as a text, a path or an image path";
    }
    info.field.text = text_of<member>;
    return info;
}

constexpr std::array settings{
    number_row({"DbgMsg", nullptr, Base::hex, 0, "1", nullptr, nullptr, Form::none,
                "non-zero: print the settings read"},
               &RunSettings::gDbgMsg),
    number_row({"LogFile", nullptr, Base::hex, 0, "1", "LogFile", nullptr, Form::none,
                "non-zero: append the messages to \"debug.log\""},
               &RunSettings::gLogFile),
    number_row(
        {"DeviceNum", nullptr, Base::hex, 1, "1", "DeviceNum", nullptr, Form::none, "printed only"},
        &RunSettings::gDeviceNum),
    number_row({nullptr, "-vid", Base::hex, 0, "1234", nullptr, "Hub1VID", Form::hex,
                "vendor id of the hub"},
               &RunSettings::gHub1VID),
    number_row({nullptr, "-pid", Base::hex, 0, "5678", nullptr, "Hub1PID", Form::hex,
                "product id of the hub"},
               &RunSettings::gHub1PID),
    text_row<&RunSettings::gHub1Bin>({nullptr, "-hub1bin", Base::text, 0, "hub.bin", nullptr,
                                      "Hub1Bin", Form::text, "stored and printed only"}),
    number_row({nullptr, "-bus", Base::dec, 0, "1", nullptr, "Bus", Form::dec,
                "bus of the hub as the device table shows it (0: any)"},
               &RunSettings::gBus),
    text_row<&RunSettings::gPathText>({nullptr, "-path", Base::path, 0, "2.4", nullptr, "Path",
                                       Form::text, "port path of the hub: 1 to 7 ports 1 to 255"}),
    number_row({"ExactPath", "-exactpath", Base::hex, 0, "1", nullptr, "ExactPath",
                Form::hex_if_set, "non-zero: -path is the hub's whole port path"},
               &RunSettings::gExactPath),
    number_row({nullptr, "-hubpdsharespi", Base::hex, 0, "0", nullptr, "gHubPDShareSPI",
                Form::signed_dec, "stored and printed only"},
               &RunSettings::gHubPDShareSPI),
    number_row({"ReadVerOnly", "-readveronly", Base::hex, 0, "1", "ReadVerOnly", "gReadVerOnly",
                Form::signed_dec, "non-zero: read the chip's version"},
               &RunSettings::gReadVerOnly),
    number_row({"ReadBinOnly", "-readbinonly", Base::hex, 0, "1", "ReadBinOnly", "gReadBinOnly",
                Form::signed_dec, "non-zero: read Image 0's version, check both images"},
               &RunSettings::gReadBinOnly),
    number_row({"CheckUpdateOnly", "-checkupdateonly", Base::hex, 0, "1", "CheckUpdateOnly",
                "gCheckUpdateOnly", Form::signed_dec,
                "non-zero: exit 0 when an update is available, 7 if not"},
               &RunSettings::gCheckUpdateOnly),
    number_row({"BackUpOnly", "-backuponly", Base::hex, 0, "0", "BackUpOnly", "gBackUpOnly",
                Form::signed_dec, "stored and printed only"},
               &RunSettings::gBackUpOnly),
    number_row({"I2CTestOnly", nullptr, Base::hex, 0, "0", "I2CTestOnly", nullptr, Form::none,
                "printed only"},
               &RunSettings::gI2CTestOnly),
    text_row<&RunSettings::gTovrelaBin0>({"TovrelaBin0", nullptr, Base::image, 0, "image0.bin",
                                          "TovrelaBin0", nullptr, Form::none,
                                          "Image 0, the SPI image, 512 KiB to 2 MiB"}),
    text_row<&RunSettings::gTovrelaBin1>({"TovrelaBin1", nullptr, Base::image, 0, "image1.bin",
                                          "TovrelaBin1", nullptr, Form::none,
                                          "Image 1, the ISP driver, at most 512 KiB"}),
    number_row({nullptr, "-selftest", Base::dec, 0, "1", nullptr, nullptr, Form::none,
                "non-zero: run the self test, without USB"},
               &RunSettings::gSelfTest),
    text_row<&RunSettings::gSerial>({"Serial", "-serial", Base::text, 0, "SN0001", nullptr, nullptr,
                                     Form::none,
                                     "USB serial number of the hub (not given: any hub)"}),
    number_row({nullptr, "-eventfd", Base::dec, 0, "3", nullptr, nullptr, Form::none,
                "events as JSON lines on this file descriptor (0: none)"},
               &RunSettings::gEventFd),
};

// The row of a key of the profile; settings.size() when there is none.
constexpr std::size_t row_of_key(std::string_view key) {
    for (std::size_t row = 0; row < settings.size(); ++row) {
        if (settings[row].key != nullptr && key == settings[row].key) {
            return row;
        }
    }
    return settings.size();
}

// The most ports a path holds, and the largest port number.
constexpr std::size_t most_ports = std::tuple_size_v<decltype(RunSettings::gTargetPath)>;
constexpr uint32_t largest_port = 255;

int digit_value(char c, int base) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (base == 16 && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (base == 16 && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A number written whole in `base`: digits only (in base 16 after an optional 0x), at least one,
// no sign, at most 32 bits.
bool read_number(std::string_view text, int base, uint32_t* number) {
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        const int digit = digit_value(c, base);
        if (digit < 0) {
            return false;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > UINT32_MAX) {
            return false;
        }
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

// A port path written whole: runs of digits, each one port number 1 to 255, with '.' or '_'
// between them; a port 0 ends the path and nothing but separators may follow it ("0" alone: no
// ports). At most most_ports ports, at least one number.
bool read_port_path(std::string_view text, std::array<uint32_t, most_ports>* ports) {
    std::array<uint32_t, most_ports> found{};
    std::size_t count = 0;
    bool ended = false;
    bool any = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '.' || text[pos] == '_') {
            ++pos;
            continue;
        }
        uint32_t port = 0;
        const std::size_t start = pos;
        while (pos < text.size() && digit_value(text[pos], 10) >= 0) {
            port = port * 10 + static_cast<uint32_t>(text[pos] - '0');
            if (port > largest_port) {
                return false;
            }
            ++pos;
        }
        // Neither a digit nor a separator, or a port after the 0 that ended the path.
        if (pos == start || ended) {
            return false;
        }
        any = true;
        if (port == 0) {
            ended = true;
            continue;
        }
        if (count == found.size()) {
            return false;
        }
        found[count++] = port;
    }
    if (!any) {
        return false;
    }
    *ports = found;
    return true;
}

bool is_graphic(char c) {
    return c >= 0x21 && c <= 0x7E;
}

// Each base, in the order of SettingBase: its name in the usage text, and what a value of it
// must be in the usage errors.
struct BaseWords {
    const char* name;
    const char* expected;
};
constexpr std::array<BaseWords, 5> base_words{{
    {"HEX", "a hexadecimal number of 32 bits"},
    {"DEC", "a decimal number of 32 bits"},
    {"TEXT", "1 to 511 characters without blanks"},
    {"P.P.P", "1 to 7 port numbers 1 to 255 joined by '.'"},
    {"PATH", "1 to 511 characters without blanks"},
}};
static_assert(base_words.size() == static_cast<std::size_t>(Base::image) + 1);

const char* expected_value(Base base) {
    return base_words.at(static_cast<std::size_t>(base)).expected;
}

// Reads one option's value into its field. False when it does not read whole.
bool apply_value(std::size_t row, std::string_view value, RunSettings* s) {
    const SettingInfo& info = settings[row];
    const SettingField& field = settings[row].field;
    switch (info.base) {
    case Base::hex:
    case Base::dec:
        return read_number(value, info.base == Base::hex ? 16 : 10, &(s->*field.number));
    case Base::path:
    case Base::text:
    case Base::image: {
        // Kept as written; a path also as its ports.
        std::span<char> text = field.text(*s);
        if (value.size() >= text.size()) {
            return false;
        }
        if (info.base == Base::path
                ? !read_port_path(value, &s->gTargetPath)
                : value.empty() || !std::all_of(value.begin(), value.end(), is_graphic)) {
            return false;
        }
        std::fill(text.begin(), text.end(), '\0');
        std::copy(value.begin(), value.end(), text.begin());
        return true;
    }
    }
    return false;
}

bool same_name(std::string_view written, const char* name) {
    return written.size() == std::strlen(name) &&
           std::equal(written.begin(), written.end(), name, [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

// The row of the option an argument names (before its first '='), or settings.size().
std::size_t option_row(std::string_view name) {
    for (std::size_t row = 0; row < settings.size(); ++row) {
        if (settings[row].option != nullptr && same_name(name, settings[row].option)) {
            return row;
        }
    }
    return settings.size();
}

// The argument as the usage error shows it: characters that are not printable as '?', cut.
std::string_view shown(std::string_view argument, std::array<char, 80>* buffer) {
    std::size_t length = 0;
    for (; length < argument.size() && length + 1 < buffer->size(); ++length) {
        const char c = argument[length];
        (*buffer)[length] = c >= 0x20 && c <= 0x7E ? c : '?';
    }
    return {buffer->data(), length};
}

// One usage error: the argument as written, and what its value must be (null: a value is missing).
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the word first, as the line shows it
void refuse(const char* argument, const char* problem, std::size_t row) {
    std::array<char, 80> buffer{};
    const std::string_view word = shown(argument, &buffer);
    if (row == settings.size()) {
        // An empty word is quoted, so that the line shows there was one.
        const char* quote = word.empty() ? "''" : "";
        print_problem("tovrela-update: %s%.*s is not an option; write NAME=VALUE, as in -vid=1234 "
                      "(tovrela-update --help lists them)\n",
                      quote, static_cast<int>(word.size()), word.data());
        return;
    }
    const SettingInfo& info = settings[row];
    if (problem == nullptr) {
        print_problem("tovrela-update: %.*s needs a value, as in %s=%s\n",
                      static_cast<int>(word.size()), word.data(), info.option, info.example);
        return;
    }
    print_problem("tovrela-update: %.*s: the value must be %s, as in %s=%s\n",
                  static_cast<int>(word.size()), word.data(), problem, info.option, info.example);
}

// True when the field of `row` holds the same setting in both records (a path: the same ports).
bool same_setting(std::size_t row, RunSettings& a, RunSettings& b) {
    const SettingField& field = settings[row].field;
    if (settings[row].base == Base::path) {
        return a.gTargetPath == b.gTargetPath;
    }
    if (field.number != nullptr) {
        return a.*field.number == b.*field.number;
    }
    return std::string_view(field.text(a).data()) == std::string_view(field.text(b).data());
}

// Reads the arguments into `s`. An option may be repeated with the same setting; a repeat that
// disagrees is refused, since a script that appends an override would expect it to win. The
// exact path needs a path ("-path=0": a root hub). rc::ok, or rc::refused after the line of the
// first argument refused.
int read_arguments(int argc, char** argv, RunSettings* s) {
    std::array<const char*, settings.size()> first{};
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i] != nullptr ? argv[i] : "";
        const std::string_view text = argument;
        const std::size_t equals = text.find('=');
        const std::size_t row = option_row(text.substr(0, equals));
        if (row == settings.size()) {
            refuse(argument, nullptr, row);
            return rc::refused;
        }
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
        if (value.empty()) {
            refuse(argument, nullptr, row);
            return rc::refused;
        }
        RunSettings scratch = *s;
        if (!apply_value(row, value, first[row] != nullptr ? &scratch : s)) {
            refuse(argument, expected_value(settings[row].base), row);
            return rc::refused;
        }
        if (first[row] == nullptr) {
            first[row] = argument;
        } else if (!same_setting(row, scratch, *s)) {
            std::array<char, 80> one{};
            std::array<char, 80> other{};
            const std::string_view a = shown(first[row], &one);
            const std::string_view b = shown(argument, &other);
            print_problem("tovrela-update: %.*s and %.*s disagree; give %s once\n",
                          static_cast<int>(a.size()), a.data(), static_cast<int>(b.size()),
                          b.data(), settings[row].option);
            return rc::refused;
        }
    }
    if (s->gExactPath != 0 && first[option_row("-path")] == nullptr) {
        // Without a path "exact" would select nothing in particular: any hub with the ids.
        std::array<char, 80> buffer{};
        const char* exact = first[option_row("-exactpath")];
        const std::string_view word = exact != nullptr ? shown(exact, &buffer) : "";
        print_problem("tovrela-update: %s%.*s needs -path=, the hub's whole port path, as in "
                      "-path=2.4 (-path=0: a hub without ports)\n",
                      exact != nullptr ? "" : "update.ini: ExactPath",
                      static_cast<int>(word.size()), word.data());
        return rc::refused;
    }
    return rc::ok;
}

// Why a file does not open as an image or a profile.
const char* open_failure(const char* path, int open_errno) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    return std::strerror(open_errno);
}

struct ImageKey {
    std::size_t row;
    int image;
    const char* missing_message;
    const char* open_fail_message;
    const char* found_format;
};

constexpr ImageKey image0_key{row_of_key("TovrelaBin0"), 0, "TovrelaBin0_Error\n",
                              "Protection : Tovrela_Bin0_Open_Fail.\n",
                              "    SPI-IMAGE: %s Check OK\n"};
constexpr ImageKey image1_key{row_of_key("TovrelaBin1"), 1, "TovrelaBin1_Error\n",
                              "Protection : Tovrela_Bin1_Open_Fail.\n",
                              "    ISP_DRIVER: %s Check OK\n"};
static_assert(image0_key.row < settings.size() && image1_key.row < settings.size(),
              "the table needs the rows of TovrelaBin0 and TovrelaBin1");
static_assert(settings[image0_key.row].base == Base::image &&
                  settings[image1_key.row].base == Base::image,
              "TovrelaBin0 and TovrelaBin1 are image paths");

// The value of an entry as the profile means it: without the CR of a CR LF line.
std::string_view entry_text(const ProfileEntry& entry) {
    std::string_view text(entry.value.data(), entry.length);
    if (text.ends_with('\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// A number of the profile: hexadecimal, read whole (blanks around it allowed), at most 16 bits.
// An empty value reads as 0: stored profiles have such lines.
bool read_profile_number(const ProfileEntry& entry, uint32_t* number) {
    std::string_view text = entry_text(entry);
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        *number = 0;
        return true;
    }
    text = text.substr(first, text.find_last_not_of(" \t") + 1 - first);
    uint32_t value = 0;
    if (!read_number(text, 16, &value) || value > UINT16_MAX) {
        return false;
    }
    *number = value;
    return true;
}

// The entry's line as the messages show it, "Key=value", unprintable characters as '?'.
std::string_view shown_entry(const char* key, const ProfileEntry& entry,
                             std::array<char, 80>* buffer) {
    std::array<char, 300> line{};
    const std::string_view value = entry_text(entry);
    const int length = std::snprintf(line.data(), line.size(), "%s=", key);
    const auto start = static_cast<std::size_t>(std::max(length, 0));
    const std::size_t count = std::min(value.size(), line.size() - 1 - start);
    std::copy_n(value.begin(), count, line.begin() + static_cast<std::ptrdiff_t>(start));
    return shown(std::string_view(line.data(), start + count), buffer);
}

// True when two entries of a row say the same: the same number, or the same text.
bool same_entry(std::size_t row, const ProfileEntry& a, const ProfileEntry& b) {
    uint32_t first = 0;
    uint32_t second = 0;
    if (settings[row].base == Base::hex && read_profile_number(a, &first) &&
        read_profile_number(b, &second)) {
        return first == second;
    }
    return entry_text(a) == entry_text(b);
}

// One warning for each line of the section that was meant as an entry and is not read as one,
// and for each key whose later entry says something else than the first, which is the one read.
void warn_about_entries(const ProfileText& profile) {
    for (std::size_t row = 0; row < settings.size(); ++row) {
        const char* key = settings[row].key;
        if (key == nullptr) {
            continue;
        }
        std::array<char, 80> line{};
        if (find_profile_misspelling(profile, profile_section, key, line.data(), line.size()) ==
            rc::done) {
            print_problem("tovrela-update: warning: %s: the line '%s' is not read; write "
                          "%s=VALUE at the line start\n",
                          profile_file, line.data(), key);
        }
        ProfileEntry read;
        if (find_profile_entry_at(profile, profile_section, key, 0, &read) != rc::done) {
            continue;
        }
        ProfileEntry later;
        for (std::size_t nth = 1;
             find_profile_entry_at(profile, profile_section, key, nth, &later) == rc::done; ++nth) {
            if (!same_entry(row, read, later)) {
                std::array<char, 80> buffer{};
                const std::string_view text = shown_entry(key, later, &buffer);
                print_problem("tovrela-update: warning: %s line %zu: '%.*s' differs from line "
                              "%zu, which is the one read\n",
                              profile_file, later.line, static_cast<int>(text.size()), text.data(),
                              read.line);
                break;
            }
        }
    }
}

// The first entry of a key of the loaded profile: rc::done, rc::failed when it is not there,
// rc::refused after its line on standard error when its line is too long.
int profile_entry(const ProfileText& profile, const char* key, ProfileEntry* entry) {
    const int found = find_profile_entry_at(profile, profile_section, key, 0, entry);
    if (found == rc::too_long) {
        print_problem("tovrela-update: %s: the line of %s is longer than %zu characters; it is "
                      "refused, not cut\n",
                      profile_file, key, profile_line_limit);
        return rc::refused;
    }
    return found;
}

// Reads one image path and makes sure the file opens: rc::done; rc::failed ends the load (after
// its message); rc::refused as profile_entry.
int read_image_path(const ProfileText& profile, bool loaded, const ImageKey& image) {
    const char* key = settings[image.row].key;
    std::span<char> path = settings[image.row].field.text(gSettings);
    ProfileEntry entry;
    const int found = profile_entry(profile, key, &entry);
    if (found == rc::refused) {
        return rc::refused;
    }
    std::fill(path.begin(), path.end(), '\0');
    if (found != rc::done) {
        std::snprintf(path.data(), path.size(), "%s", "NA");
        print_message("%s", image.missing_message);
        if (loaded) {
            print_problem("tovrela-update: %s has no entry %s= in section [%s]\n", profile_file,
                          key, profile_section);
        }
        return rc::failed;
    }
    // The path ends at its first line-end character.
    static_assert(std::tuple_size_v<decltype(entry.value)> <
                  std::tuple_size_v<decltype(RunSettings::gTovrelaBin0)>);
    std::copy(entry.value.begin(), entry.value.end(), path.begin());
    std::replace_if(
        path.begin(), path.end(), [](char c) { return c == '\n' || c == '\r'; }, '\0');

    File file = open_image_file(path.data());
    if (!file) {
        const int open_errno = errno;
        print_message("%s", image.open_fail_message);
        print_problem("tovrela-update: cannot open Image %d '%s' (%s in %s): %s\n", image.image,
                      path.data(), key, profile_file, open_failure(path.data(), open_errno));
        return rc::failed;
    }
    print_message(image.found_format, path.data());
    return rc::done;
}

// One key of the table from the loaded profile. A number is hexadecimal, with the row's default
// when missing; a value that does not read whole as a number of 16 bits is refused, like a bad
// option value. A text that is empty counts as not given, and a line end ends it. rc::ok, or
// rc::refused after its line on standard error when a value is not what the key takes.
int read_profile_key(const ProfileText& profile, std::size_t row) {
    const SettingInfo& info = settings[row];
    ProfileEntry entry;
    const int found = profile_entry(profile, info.key, &entry);
    if (found == rc::refused) {
        return rc::refused;
    }
    const char* expected = nullptr;
    if (info.base == Base::hex) {
        uint32_t* field = &(gSettings.*info.field.number);
        if (found != rc::done) {
            *field = info.profile_default;
            return rc::ok;
        }
        if (read_profile_number(entry, field)) {
            return rc::ok;
        }
        expected = "a hexadecimal number of 16 bits";
    } else {
        const std::string_view text = entry_text(entry);
        if (found != rc::done || text.empty() || apply_value(row, text, &gSettings)) {
            return rc::ok;
        }
        expected = expected_value(info.base);
    }
    std::array<char, 80> buffer{};
    const std::string_view line = shown_entry(info.key, entry, &buffer);
    print_problem("tovrela-update: %s line %zu: '%.*s': the value must be %s, as in %s=%s\n",
                  profile_file, entry.line, static_cast<int>(line.size()), line.data(), expected,
                  info.key, info.example);
    return rc::refused;
}

// The numeric keys of the table, then its text keys (the image paths are read on their own).
// rc::ok, or rc::refused at the first value refused.
int read_profile_keys(const ProfileText& profile) {
    for (const Base base : {Base::hex, Base::text}) {
        for (std::size_t row = 0; row < settings.size(); ++row) {
            if (settings[row].key != nullptr && settings[row].base == base &&
                read_profile_key(profile, row) != rc::ok) {
                return rc::refused;
            }
        }
    }
    return rc::ok;
}

void print_profile_settings() {
    print_message("    ----- Setting From Setting.ini -----\n");
    for (std::size_t row = 0; row < settings.size(); ++row) {
        const char* label = settings[row].profile_label;
        if (label == nullptr) {
            continue;
        }
        if (settings[row].field.number != nullptr) {
            print_message("    %s=%X\n", label, gSettings.*settings[row].field.number);
        } else {
            print_message("    %s=%s\n", label, settings[row].field.text(gSettings).data());
        }
    }
    print_message("    ------------------------------------\n");
}

void print_command_line_settings() {
    print_message("    ----- Setting From command.sh  -----\n");
    for (std::size_t row = 0; row < settings.size(); ++row) {
        const char* label = settings[row].command_label;
        const SettingField& field = settings[row].field;
        switch (settings[row].command_form) {
        case Form::none:
            break;
        case Form::hex_if_set:
            if (gSettings.*field.number != 0) {
                print_message("    %s=%X\n", label, gSettings.*field.number);
            }
            break;
        case Form::hex:
            print_message("    %s=%X\n", label, gSettings.*field.number);
            break;
        case Form::dec:
            print_message("    %s=%u\n", label, gSettings.*field.number);
            break;
        case Form::signed_dec:
            print_message("    %s=%d\n", label, static_cast<int>(gSettings.*field.number));
            break;
        case Form::text:
            print_message("    %s=%s\n", label, field.text(gSettings).data());
            break;
        }
    }
    print_message("    ------------------------------------\n");
}

} // namespace

std::span<const SettingInfo> setting_table() {
    return settings;
}

const char* setting_base_name(SettingBase base) {
    return base_words.at(static_cast<std::size_t>(base)).name;
}

int check_command_line(int argc, char** argv) {
    RunSettings scratch;
    return read_arguments(argc, argv, &scratch);
}

int load_settings(int argc, char** argv) {
    gSettings.gTovrelaBin0.fill('\0');
    gSettings.gTovrelaBin1.fill('\0');
    gSettings.gPathText.fill('\0');
    gSettings.gSerial.fill('\0');

    // Read once: every key comes from this one copy of the file.
    ProfileText profile;
    const bool loaded = load_profile(profile_file, &profile) == rc::done;
    if (!loaded) {
        const int open_errno = errno;
        print_problem("tovrela-update: cannot read %s in the working directory: %s\n", profile_file,
                      open_failure(profile_file, open_errno));
    }
    warn_about_entries(profile);
    if (read_profile_keys(profile) != rc::ok) {
        return rc::refused;
    }
    // The arguments with the profile's values (an exact path needs a path from the command line),
    // before any image is looked at.
    if (RunSettings preview = gSettings;
        argc > 1 && read_arguments(argc, argv, &preview) != rc::ok) {
        return rc::refused;
    }
    for (const ImageKey* image : {&image0_key, &image1_key}) {
        const int result = read_image_path(profile, loaded, *image);
        if (result != rc::done) {
            return result == rc::refused ? rc::refused : rc::ok;
        }
    }

    if (gSettings.gDbgMsg != 0) {
        print_profile_settings();
    }

    if (argc <= 1) {
        return rc::missing;
    }
    if (read_arguments(argc, argv, &gSettings) != rc::ok) {
        return rc::refused;
    }

    if (gSettings.gDbgMsg != 0) {
        print_command_line_settings();
    }
    return rc::ok;
}
