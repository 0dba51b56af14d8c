// Profile file reader: a profile file read once into memory, and its entries looked up there;
// the lookups by file name read the file for each call.
#pragma once

#include "profile_lines.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

// The whole text of a profile file.
struct ProfileText {
    std::unique_ptr<char[]> bytes; // `size` bytes and a terminating zero
    std::size_t size = 0;
};

// rc::done with the whole file in `profile`; rc::failed, with errno saying why, when the file is
// missing, is no regular file, cannot be read or is larger than 1 MiB. Never blocks on a FIFO.
[[nodiscard]] int load_profile(const char* file, ProfileText* profile);

// One entry of a key: its value (the text after the first '=', a CR before the line end
// included), the value's length (a NUL byte in the value counts) and the entry's line number.
struct ProfileEntry {
    std::array<char, profile_line_limit + 1> value{}; // at most 198 characters and the zero
    std::size_t length = 0;
    std::size_t line = 0;
};

// The entry number `nth` (0: the first, the one the tool reads) of `key` in `section` of a loaded
// profile: rc::done with `entry` filled, rc::failed when there is none (`entry` untouched),
// rc::too_long when the entry's line is longer than profile_line_limit.
[[nodiscard]] int find_profile_entry_at(const ProfileText& profile, const char* section,
                                        const char* key, std::size_t nth, ProfileEntry* entry);

// A line of `section` that differs from an entry of `key` only by the key's case or by blanks
// around the key and '=': rc::done with the line (cut to `size` - 1 characters) in `line`,
// rc::failed when there is none.
[[nodiscard]] int find_profile_misspelling(const ProfileText& profile, const char* section,
                                           const char* key, char* line, std::size_t size);

// The found flag (rc::done or rc::failed); on a miss `value` is left as it was.
[[nodiscard]] int read_profile_string(const char* section, const char* key, char* value,
                                      int32_t size, const char* default_value, const char* file);

// The found flag (rc::done or rc::failed); on a miss `default_value` is copied into `value`.
[[nodiscard]] int read_profile_stringS(const char* section, const char* key, char* value,
                                       int32_t size, const char* default_value, const char* file);

// The entry as a decimal number, or `default_value` when not found.
[[nodiscard]] int32_t read_profile_int(const char* section, const char* key, int32_t default_value,
                                       const char* file);

// The entry as a hexadecimal number cut to 16 bits, or `default_value` when not found.
[[nodiscard]] uint16_t read_profile_hex(const char* section, const char* key,
                                        uint16_t default_value, const char* file);
