// Profile file reader: the file is read whole into memory, and each lookup scans that copy for
// one key of one section. Lines are never cut: an entry on a line longer than 199 characters (a
// CR before the line end not counted) is refused. A section ends at the next line that holds a
// '['; a comment line (';' or '#' its first character after blanks) never opens or ends one.
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

// The patterns "[section]" and "key=" of one lookup; false when a name is too long for its
// pattern, which is refused rather than cut.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): section before key, as in every lookup
bool make_patterns(const char* section, const char* key, Text* section_pattern, Text* key_pattern,
                   std::size_t* key_length) {
    const int section_length =
        std::snprintf(section_pattern->data(), section_pattern->size(), "[%s]", section);
    const int length = std::snprintf(key_pattern->data(), key_pattern->size(), "%s=", key);
    if (section_length < 0 || static_cast<std::size_t>(section_length) >= text_size || length < 0 ||
        static_cast<std::size_t>(length) >= text_size) {
        return false;
    }
    *key_length = static_cast<std::size_t>(length);
    return true;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// A line whose first character after blanks is ';' or '#'.
bool is_comment(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    return first != std::string_view::npos && (line[first] == ';' || line[first] == '#');
}

// Walks the lines of `section`: from the line after the first one holding "[section]" to the
// line before the next one holding '[', comment lines left out of both. `visit` gets each line
// (without its LF) and its number (from 1), and returns true to stop.
template <typename Visit>
void for_section_lines(const ProfileText& profile, const Text& section_pattern, Visit visit) {
    const std::string_view text(profile.bytes.get(), profile.size);
    bool in_section = false;
    std::size_t start = 0;
    std::size_t number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (is_comment(line)) {
            continue;
        }
        if (!in_section) {
            in_section = line.find(section_pattern.data()) != std::string_view::npos;
            continue;
        }
        if (line.find('[') != std::string_view::npos || visit(line, number)) {
            return;
        }
    }
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
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
    Text section_pattern{};
    Text key_pattern{};
    std::size_t key_length = 0;
    if (!profile.bytes ||
        !make_patterns(section, key, &section_pattern, &key_pattern, &key_length)) {
        return rc::failed;
    }
    int result = rc::failed;
    std::size_t seen = 0;
    for_section_lines(profile, section_pattern, [&](std::string_view line, std::size_t number) {
        if (!line.starts_with(std::string_view(key_pattern.data(), key_length)) || seen++ < nth) {
            return false;
        }
        // A CR before the line end is the line end of a CR LF file, not a character of the line.
        if (line.size() - (line.ends_with('\r') ? 1 : 0) > profile_line_limit) {
            result = rc::too_long;
            return true;
        }
        const std::string_view found = line.substr(line.find('=') + 1);
        std::memcpy(entry->value.data(), found.data(), found.size());
        entry->value[found.size()] = '\0';
        entry->length = found.size();
        entry->line = number;
        result = rc::done;
        return true;
    });
    return result;
}

int find_profile_misspelling(const ProfileText& profile, const char* section, const char* key,
                             char* line, std::size_t size) {
    Text section_pattern{};
    Text key_pattern{};
    std::size_t key_length = 0;
    if (!profile.bytes || size == 0 ||
        !make_patterns(section, key, &section_pattern, &key_pattern, &key_length)) {
        return rc::failed;
    }
    const std::string_view wanted(key_pattern.data(), key_length - 1);
    int result = rc::failed;
    for_section_lines(profile, section_pattern, [&](std::string_view text, std::size_t) {
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || text.starts_with(key_pattern.data())) {
            return false;
        }
        std::size_t first = 0;
        std::size_t last = equals;
        while (first < last && is_blank(text[first])) {
            ++first;
        }
        while (last > first && is_blank(text[last - 1])) {
            --last;
        }
        const std::string_view written = text.substr(first, last - first);
        if (written.size() != wanted.size() ||
            !std::equal(written.begin(), written.end(), wanted.begin(),
                        [](char a, char b) { return lower(a) == lower(b); })) {
            return false;
        }
        std::snprintf(line, size, "%.*s",
                      static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX)), text.data());
        result = rc::done;
        return true;
    });
    return result;
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
    static_assert(std::tuple_size_v<decltype(entry.value)> <= std::tuple_size_v<Text>);
    std::copy(entry.value.begin(), entry.value.end(), value->begin());
    return rc::done;
}

// The lookup of both string readers: their preconditions, each failure reported with the reader's
// name and a line of its own (`first_line` and the five after it), then the entry. rc::done with
// the entry in `found`, rc::failed when there is none.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): the readers' arguments, in their order
int checked_lookup(const char* function, unsigned int first_line, const char* section,
                   const char* key, const char* value, int32_t size, const char* default_value,
                   const char* file, Text* found) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    PROFILE_REQUIRE(section != nullptr && *section != '\0', function, first_line);
    PROFILE_REQUIRE(key != nullptr && *key != '\0', function, first_line + 1);
    PROFILE_REQUIRE(value != nullptr, function, first_line + 2);
    PROFILE_REQUIRE(size > 0, function, first_line + 3);
    PROFILE_REQUIRE(file != nullptr && *file != '\0', function, first_line + 4);
    PROFILE_REQUIRE(default_value != nullptr, function, first_line + 5);
    return find_profile_entry(file, section, key, found);
}

} // namespace

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int read_profile_string(const char* section, const char* key, char* value, int32_t size,
                        const char* default_value, const char* file) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    Text found{};
    if (checked_lookup(__func__, 141, section, key, value, size, default_value, file, &found) !=
        rc::done) {
        return rc::failed;
    }
    copy_bounded(value, size, found.data());
    return rc::done;
}

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the reader's interface stays as it is
int read_profile_stringS(const char* section, const char* key, char* value, int32_t size,
                         const char* default_value, const char* file) {
    // NOLINTEND(bugprone-easily-swappable-parameters)
    Text found{};
    if (checked_lookup(__func__, 158, section, key, value, size, default_value, file, &found) !=
        rc::done) {
        copy_bounded(value, size, default_value);
        return rc::failed;
    }
    copy_bounded(value, size, found.data());
    return rc::done;
}

int32_t read_profile_int(const char* section, const char* key, int32_t default_value,
                         const char* file) {
    Text found{};
    if (find_profile_entry(file, section, key, &found) != rc::done) {
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
    if (find_profile_entry(file, section, key, &found) != rc::done) {
        return default_value;
    }
    return static_cast<uint16_t>(parse_hex32(found.data()) & 0xFFFFu);
}
