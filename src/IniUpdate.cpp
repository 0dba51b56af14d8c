// Profile file reader: the file is read whole into memory, and each lookup scans that copy for
// one key of one section by the profile's line rules (profile_lines.h). Lines are never cut: an
// entry on a line longer than 199 characters (a CR before the line end not counted) is refused.
#include "IniUpdate.h"

#include "file_access.h"
#include "result_codes.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

// glibc's assertion report; declared here because <assert.h> hides it when NDEBUG is set, and the
// string lookups check their arguments in every build.
extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file,
                                           unsigned int line, const char* function) noexcept;

// Stops the process with the standard assertion report naming this module, the function and the
// given line.
#define PROFILE_REQUIRE(condition, function, line)                                                 \
    ((condition) ? static_cast<void>(0)                                                            \
                 : __assert_fail(#condition, "../src/IniUpdate", (line), (function)))

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

// True when the names fit the reader's patterns "[section]" and "key=" of 199 characters; longer
// names are refused rather than cut.
bool names_fit(const char* section, const char* key) {
    return std::strlen(section) + 2 < text_size && std::strlen(key) + 1 < text_size;
}

} // namespace

int load_profile(const char* file, ProfileText* profile) {
    constexpr std::size_t largest = 1u << 20;
    *profile = ProfileText{};
    // Opened like an image file: only a regular file, and without blocking on a FIFO.
    File input(open_image_file(file));
    if (!input) {
        return rc::failed;
    }
    const uint64_t length = file_length(input.get());
    if (length > largest) {
        errno = EFBIG;
        return rc::failed;
    }
    const auto size = static_cast<std::size_t>(length);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size + 1]);
    if (!bytes) {
        errno = ENOMEM;
        return rc::failed;
    }
    const std::size_t got = std::fread(bytes.get(), 1, size, input.get());
    if (std::ferror(input.get()) != 0) {
        return rc::failed;
    }
    // A file that shrank after being measured is taken as far as it goes.
    bytes[got] = '\0';
    profile->bytes = std::move(bytes);
    profile->size = got;
    return rc::done;
}

int find_profile_entry_at(const ProfileText& profile, const char* section, const char* key,
                          std::size_t nth, ProfileEntry* entry) {
    if (!profile.bytes || !names_fit(section, key)) {
        return rc::failed;
    }
    const auto found =
        find_profile_line(std::string_view(profile.bytes.get(), profile.size), section, key, nth);
    if (!found) {
        return rc::failed;
    }
    if (found->too_long) {
        return rc::too_long;
    }
    std::copy(found->value.begin(), found->value.end(), entry->value.begin());
    entry->value[found->value.size()] = '\0';
    entry->length = found->value.size();
    entry->line = found->line;
    return rc::done;
}

int find_profile_misspelling(const ProfileText& profile, const char* section, const char* key,
                             char* line, std::size_t size) {
    if (!profile.bytes || size == 0 || !names_fit(section, key)) {
        return rc::failed;
    }
    const auto found =
        find_profile_misspelling(std::string_view(profile.bytes.get(), profile.size), section, key);
    if (!found) {
        return rc::failed;
    }
    std::snprintf(line, size, "%.*s",
                  static_cast<int>(std::min<std::size_t>(found->size(), INT_MAX)), found->data());
    return rc::done;
}

namespace {

// rc::done and the value copied into `value` when found, rc::failed otherwise (`value` untouched);
// an entry on a line longer than profile_line_limit counts as not found. The file is read for
// each lookup.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): file, section, key, as the readers have it
int find_profile_entry(const char* file, const char* section, const char* key, Text* value) {
    ProfileText profile;
    ProfileEntry entry;
    if (load_profile(file, &profile) != rc::done ||
        find_profile_entry_at(profile, section, key, 0, &entry) != rc::done) {
        return rc::failed;
    }
    std::copy(entry.value.begin(), entry.value.end(), value->begin());
    return rc::done;
}

// Both string readers: their preconditions, each failure reported with the reader's name and a
// line of its own (`first_line` and the five after it), then the entry copied into `value`.
// rc::done when found; rc::failed otherwise, with `value` left as it was, or holding
// `default_value` when `default_on_miss` is set.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): the readers' arguments, in their order
int read_string(const char* function, unsigned int first_line, const char* section, const char* key,
                char* value, int32_t size, const char* default_value, const char* file,
                bool default_on_miss) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    PROFILE_REQUIRE(section != nullptr && *section != '\0', function, first_line);
    PROFILE_REQUIRE(key != nullptr && *key != '\0', function, first_line + 1);
    PROFILE_REQUIRE(value != nullptr, function, first_line + 2);
    PROFILE_REQUIRE(size > 0, function, first_line + 3);
    PROFILE_REQUIRE(file != nullptr && *file != '\0', function, first_line + 4);
    PROFILE_REQUIRE(default_value != nullptr, function, first_line + 5);
    Text found{};
    if (find_profile_entry(file, section, key, &found) != rc::done) {
        if (default_on_miss) {
            copy_bounded(value, size, default_value);
        }
        return rc::failed;
    }
    copy_bounded(value, size, found.data());
    return rc::done;
}

// Decimal as atoi reads it, but without its undefined overflow: out-of-range values clamp.
int32_t clamped_decimal(const char* text) {
    const long number = std::strtol(text, nullptr, 10);
    if (number > INT32_MAX) {
        return INT32_MAX;
    }
    if (number < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(number);
}

// The entry as `convert` reads its text, or `default_value` when not found.
template <typename Number, typename Convert>
Number read_entry(const char* file, const char* section, const char* key, Number default_value,
                  Convert convert) {
    Text found{};
    if (find_profile_entry(file, section, key, &found) != rc::done) {
        return default_value;
    }
    return convert(found.data());
}

} // namespace

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int read_profile_string(const char* section, const char* key, char* value, int32_t size,
                        const char* default_value, const char* file) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    return read_string(__func__, 141, section, key, value, size, default_value, file, false);
}

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int read_profile_stringS(const char* section, const char* key, char* value, int32_t size,
                         const char* default_value, const char* file) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    return read_string(__func__, 158, section, key, value, size, default_value, file, true);
}

int32_t read_profile_int(const char* section, const char* key, int32_t default_value,
                         const char* file) {
    return read_entry(file, section, key, default_value, clamped_decimal);
}

uint16_t read_profile_hex(const char* section, const char* key, uint16_t default_value,
                          const char* file) {
    return read_entry(file, section, key, default_value, [](const char* text) {
        return static_cast<uint16_t>(parse_hex32(text) & 0xFFFFu);
    });
}
