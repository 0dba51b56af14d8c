// Profile file reader: each lookup opens the file, scans it from the start for one key of one
// section and closes it again. Lines are read in pieces of at most 199 characters; a section
// ends at the next line that holds a '['.
#include "IniUpdate.h"

#include "file_access.h"
#include "result_codes.h"

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// glibc's assertion report; declared here because <assert.h> hides it when NDEBUG is set, and the
// string lookups check their arguments in every build.
extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file,
                                           unsigned int line, const char* function) noexcept;

// Stops the process with the standard assertion report naming this module and the given line.
#define PROFILE_REQUIRE(condition, line)                                                           \
    ((condition) ? static_cast<void>(0)                                                            \
                 : __assert_fail(#condition, "../src/IniUpdate", (line), __func__))

namespace {

constexpr std::size_t text_size = 200; // line, patterns and numeric values, terminator included

using Text = std::array<char, text_size>;

bool is_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The "%X" reading of a text into 32 bits: white space, an optional sign and 0x prefix, then hex
// digits up to the first other character. Longer numbers wrap, so the last eight digits count.
// A text without digits reads as 0.
uint32_t parse_hex32(const char* text) {
    auto p = reinterpret_cast<const unsigned char*>(text);
    while (is_space(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) {
        p += 2;
    }
    uint32_t value = 0;
    for (int digit = hex_digit(*p); digit >= 0; digit = hex_digit(*++p)) {
        value = value * 16u + static_cast<uint32_t>(digit);
    }
    return negative ? 0u - value : value;
}

// Copies `source` into `dest` of `size` bytes, cut to size - 1 characters.
void copy_bounded(char* dest, int32_t size, const char* source) {
    std::snprintf(dest, static_cast<std::size_t>(size), "%s", source);
}

} // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int find_profile_entry(const char* file, const char* section, const char* key, char* value) {
    Text line{};
    Text section_pattern{};
    Text key_pattern{};

    // A name too long for its pattern cannot be looked up; refuse it rather than cut it.
    const int section_length =
        std::snprintf(section_pattern.data(), section_pattern.size(), "[%s]", section);
    const int key_length = std::snprintf(key_pattern.data(), key_pattern.size(), "%s=", key);
    if (section_length < 0 || static_cast<std::size_t>(section_length) >= text_size ||
        key_length < 0 || static_cast<std::size_t>(key_length) >= text_size) {
        return rc::failed;
    }

    // Opened like an image file: only a regular file, and without blocking on a FIFO.
    File profile(open_image_file(file));
    if (!profile) {
        return rc::failed;
    }

    bool in_section = false;
    while (std::fgets(line.data(), static_cast<int>(line.size()), profile.get()) != nullptr) {
        const std::size_t length = std::strlen(line.data());
        if (length > 0 && line[length - 1] == '\n') {
            line[length - 1] = '\0';
        }

        if (!in_section) {
            in_section = std::strstr(line.data(), section_pattern.data()) != nullptr;
            continue;
        }
        if (std::strchr(line.data(), '[') != nullptr) {
            return rc::failed;
        }
        if (std::strncmp(line.data(), key_pattern.data(), static_cast<std::size_t>(key_length)) ==
            0) {
            // The line holds at most 199 characters, so the value fits any 200-byte text.
            std::strcpy(value, std::strchr(line.data(), '=') + 1);
            return rc::done;
        }
    }
    return rc::failed;
}

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int read_profile_string(const char* section, const char* key, char* value, int32_t size,
                        const char* default_value, const char* file) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    PROFILE_REQUIRE(section != nullptr && *section != '\0', 141);
    PROFILE_REQUIRE(key != nullptr && *key != '\0', 142);
    PROFILE_REQUIRE(value != nullptr, 143);
    PROFILE_REQUIRE(size > 0, 144);
    PROFILE_REQUIRE(file != nullptr && *file != '\0', 145);
    PROFILE_REQUIRE(default_value != nullptr, 146);

    Text found{};
    if (find_profile_entry(file, section, key, found.data()) != rc::done) {
        return rc::failed;
    }
    copy_bounded(value, size, found.data());
    return rc::done;
}

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int read_profile_stringS(const char* section, const char* key, char* value, int32_t size,
                         const char* default_value, const char* file) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    PROFILE_REQUIRE(section != nullptr && *section != '\0', 158);
    PROFILE_REQUIRE(key != nullptr && *key != '\0', 159);
    PROFILE_REQUIRE(value != nullptr, 160);
    PROFILE_REQUIRE(size > 0, 161);
    PROFILE_REQUIRE(file != nullptr && *file != '\0', 162);
    PROFILE_REQUIRE(default_value != nullptr, 163);

    Text found{};
    if (find_profile_entry(file, section, key, found.data()) != rc::done) {
        copy_bounded(value, size, default_value);
        return rc::failed;
    }
    copy_bounded(value, size, found.data());
    return rc::done;
}

int32_t read_profile_int(const char* section, const char* key, int32_t default_value,
                         const char* file) {
    Text found{};
    if (find_profile_entry(file, section, key, found.data()) != rc::done) {
        return default_value;
    }
    // Decimal as atoi reads it, but without its undefined overflow: out-of-range values clamp.
    const long number = std::strtol(found.data(), nullptr, 10);
    if (number > INT32_MAX) {
        return INT32_MAX;
    }
    if (number < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(number);
}

uint16_t read_profile_hex(const char* section, const char* key, uint16_t default_value,
                          const char* file) {
    Text found{};
    if (find_profile_entry(file, section, key, found.data()) != rc::done) {
        return default_value;
    }
    return static_cast<uint16_t>(parse_hex32(found.data()) & 0xFFFFu);
}
