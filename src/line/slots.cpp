#include "slots.h"

#include "hub_place.h"
#include "unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace line {

namespace {

constexpr std::string_view blanks = " \t";
// A fixture's slots file is small; anything larger is not one.
constexpr std::size_t largest_file = std::size_t{1} << 20;

bool printable_word(std::string_view word) {
    return std::all_of(word.begin(), word.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// The words of `text` separated by blanks.
std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = text.find_first_not_of(blanks);
    while (at != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(blanks, at), text.size());
        words.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(blanks, end);
    }
    return words;
}

} // namespace

std::optional<std::string> SlotTable::name_of(const std::string& place) const {
    const auto found = std::find_if(slots_.begin(), slots_.end(),
                                    [&place](const Slot& slot) { return slot.place == place; });
    return found == slots_.end() ? std::nullopt : std::optional<std::string>(found->name);
}

std::optional<SlotTable> parse_slots(std::string_view text, std::string& error,
                                     std::size_t& error_line) {
    std::vector<Slot> slots;
    std::vector<std::size_t> lines; // the line of each slot
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string_view entry = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (entry.ends_with('\r')) {
            entry.remove_suffix(1); // CR LF line ends
        }
        const auto words = words_of(entry);
        if (words.empty() || words.front().starts_with('#')) {
            continue;
        }
        error_line = number;
        const auto place = parse_hub_place(words.front());
        if (words.size() != 2 || !place) {
            error = "not \"BUS-PATH NAME\" (as \"1-2.4 A3\")";
            return std::nullopt;
        }
        if (!printable_word(words[1])) {
            error = "the name holds a control character or a byte that is not printable ASCII";
            return std::nullopt;
        }
        Slot slot{place->place(), std::string(words[1])};
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const bool same_place = slots[i].place == slot.place;
            if (same_place || slots[i].name == slot.name) {
                error = (same_place ? "the place " + slot.place + " has a name already"
                                    : "the name " + slot.name + " is given already") +
                        " (line " + std::to_string(lines[i]) + ")";
                return std::nullopt;
            }
        }
        slots.push_back(std::move(slot));
        lines.push_back(number);
    }
    return SlotTable(std::move(slots));
}

std::optional<SlotTable> read_slots(const std::string& path, std::string& error) {
    // Read with read(2): a folder opens, but its read fails.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const std::string head = "slots \"" + path + "\" ";
    if (!fd) {
        error = head + "cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    std::array<char, 4096> buffer{};
    for (ssize_t got; (got = ::read(fd.get(), buffer.data(), buffer.size())) != 0;) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = head + "cannot be read: " + std::strerror(errno);
            return std::nullopt;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
        if (text.size() > largest_file) {
            error = head + "is larger than 1 MiB";
            return std::nullopt;
        }
    }
    std::size_t line = 0;
    auto table = parse_slots(text, error, line);
    if (!table) {
        error = head + "line " + std::to_string(line) + ": " + error;
    }
    return table;
}

} // namespace line
