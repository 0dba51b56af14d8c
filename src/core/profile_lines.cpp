#include "profile_lines.h"

#include <algorithm>

// Every lookup takes the text, the section and the key, in this order.
// NOLINTBEGIN(bugprone-easily-swappable-parameters)

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A line whose first character after blanks is ';' or '#'.
bool is_comment(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    return first != std::string_view::npos && (line[first] == ';' || line[first] == '#');
}

// True when the line holds "[section]" anywhere.
bool holds_header(std::string_view line, std::string_view section) {
    for (std::size_t at = line.find('['); at != std::string_view::npos;
         at = line.find('[', at + 1)) {
        const std::string_view rest = line.substr(at + 1);
        if (rest.starts_with(section) && rest.size() > section.size() &&
            rest[section.size()] == ']') {
            return true;
        }
    }
    return false;
}

// Walks the lines of `section`, comment lines left out. `visit` gets each line (without its LF)
// and its number (from 1), and returns true to stop.
template <typename Visit>
void for_section_lines(std::string_view text, std::string_view section, Visit visit) {
    bool in_section = false;
    std::size_t start = 0;
    std::size_t number = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (is_comment(line)) {
            continue;
        }
        if (!in_section) {
            in_section = holds_header(line, section);
            continue;
        }
        if (line.find('[') != std::string_view::npos || visit(line, number)) {
            return;
        }
    }
}

bool is_entry_of(std::string_view line, std::string_view key) {
    return line.starts_with(key) && line.size() > key.size() && line[key.size()] == '=';
}

} // namespace

std::optional<ProfileLine> find_profile_line(std::string_view text, std::string_view section,
                                             std::string_view key, std::size_t nth) {
    std::optional<ProfileLine> found;
    std::size_t seen = 0;
    for_section_lines(text, section, [&](std::string_view line, std::size_t number) {
        if (!is_entry_of(line, key) || seen++ < nth) {
            return false;
        }
        // A CR before the line end is the line end of a CR LF file, not a character of the line.
        const std::size_t length = line.size() - (line.ends_with('\r') ? 1 : 0);
        found = ProfileLine{line.substr(key.size() + 1), number, length > profile_line_limit};
        return true;
    });
    return found;
}

std::optional<std::string_view>
find_profile_misspelling(std::string_view text, std::string_view section, std::string_view key) {
    std::optional<std::string_view> found;
    for_section_lines(text, section, [&](std::string_view line, std::size_t) {
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || is_entry_of(line, key)) {
            return false;
        }
        std::size_t first = 0;
        std::size_t last = equals;
        while (first < last && is_blank(line[first])) {
            ++first;
        }
        while (last > first && is_blank(line[last - 1])) {
            --last;
        }
        const std::string_view written = line.substr(first, last - first);
        if (written.size() != key.size() ||
            !std::equal(written.begin(), written.end(), key.begin(),
                        [](char a, char b) { return lower(a) == lower(b); })) {
            return false;
        }
        found = line;
        return true;
    });
    return found;
}

std::string_view profile_path_value(std::string_view value) {
    return value.substr(0, value.find_first_of("\r\n"));
}

// NOLINTEND(bugprone-easily-swappable-parameters)
