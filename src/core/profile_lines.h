// The lines of a profile ("update.ini") as the tool reads them, for every program that reads one:
// a section starts at the first line holding "[NAME]" and ends at the next line holding '['; a
// comment line (';' or '#' its first character after blanks) never opens or ends one; an entry
// is a line of the section that starts with "KEY="; the first entry of a key is the one read; a
// line ends at LF, and a CR before it is kept in the value but not counted in the line's length.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The longest line the reader takes; an entry on a longer line is refused, never cut.
inline constexpr std::size_t profile_line_limit = 199;

// One entry: its value (the text after the first '=', a CR before the line end included), the
// number of its line (from 1), and whether its line is longer than profile_line_limit.
struct ProfileLine {
    std::string_view value;
    std::size_t line = 0;
    bool too_long = false;
};

// The entry number `nth` (0: the first, the one read) of `key` in `section`, or none.
[[nodiscard]] std::optional<ProfileLine> find_profile_line(std::string_view text,
                                                           std::string_view section,
                                                           std::string_view key,
                                                           std::size_t nth = 0);

// The first line of `section` that differs from an entry of `key` only by the key's case or by
// blanks around the key and '=' (a line meant as an entry and not read as one), or none.
[[nodiscard]] std::optional<std::string_view>
find_profile_misspelling(std::string_view text, std::string_view section, std::string_view key);

// An image path as an entry holds it: up to its first CR or LF.
[[nodiscard]] std::string_view profile_path_value(std::string_view value);
