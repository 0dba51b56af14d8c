#include "display.h"

#include "unique_fd.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace line {

namespace {

constexpr const char* header =
    "PLACE        SERIAL           PHASE           DONE  ELAPSED    LEFT  RESULT";
// The column of the slot names, after the place, when a row has one.
constexpr std::size_t slot_width = 8;

// Green for a board that did its job, red for one that did not, yellow while its tool runs.
const char* colour_of(RowState state) {
    return state == RowState::good      ? "\x1b[32m"
           : state == RowState::bad     ? "\x1b[31m"
           : state == RowState::running ? "\x1b[33m"
                                        : "";
}

std::string clipped(const std::string& text, std::size_t width) {
    return text.size() <= width ? text : text.substr(0, width - 1) + "~";
}

} // namespace

std::string shown(const std::string& text) {
    std::string safe;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            safe += "\\n";
        } else if (c == '\r') {
            safe += "\\r";
        } else if (c == '\t') {
            safe += "\\t";
        } else if (byte < 0x20 || byte >= 0x7F) {
            constexpr std::string_view hex_digits = "0123456789abcdef";
            safe += {'\\', 'x', hex_digits[byte >> 4], hex_digits[byte & 0x0F]};
        } else {
            safe += c;
        }
    }
    return safe;
}

std::string duration_text(double seconds) {
    const long whole = std::lround(seconds);
    if (whole < 60) {
        return std::to_string(whole) + "s";
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%ld:%02ld", whole / 60, whole % 60);
    return text.data();
}

Display::Display(int fd, bool plain)
    : fd_(fd), terminal_(!plain && isatty(fd) == 1),
      colour_(terminal_ &&
              (std::getenv("NO_COLOR") == nullptr || *std::getenv("NO_COLOR") == '\0')) {}

void Display::put(const std::string& text) const {
    // A closed or full standard output never stops the line.
    static_cast<void>(write_all(fd_, text.data(), text.size()));
}

void Display::event(const std::string& line) const {
    if (!terminal_) {
        put(shown(line) + "\n");
    }
}

void Display::say(const std::string& line) {
    if (terminal_ && drawn_lines_ > 0) {
        held_.push_back(shown(line));
    } else {
        put(shown(line) + "\n");
    }
}

std::string Display::row_text(const HubRow& row, bool slots) const {
    const std::string done =
        row.progress ? std::to_string(static_cast<int>(*row.progress * 100.0)) + "%" : "";
    const std::string elapsed = row.state == RowState::queued ? "" : duration_text(row.elapsed);
    const std::string left = row.left ? duration_text(*row.left) : "";
    std::array<char, 256> text{};
    std::string slot;
    if (slots) {
        slot = clipped(shown(row.slot), slot_width);
        slot.resize(slot_width + 1, ' ');
    }
    std::snprintf(text.data(), text.size(), "%-12s %s%-16s %-14s %5s %8s %7s  ",
                  clipped(row.place, 12).c_str(), slot.c_str(),
                  clipped(shown(row.serial), 16).c_str(), clipped(shown(row.phase), 14).c_str(),
                  done.c_str(), elapsed.c_str(), left.c_str());
    const std::string result =
        row.result.empty() && row.state == RowState::queued ? "queued" : shown(row.result);
    if (colour_ && *colour_of(row.state) != '\0') {
        return text.data() + std::string(colour_of(row.state)) + result + "\x1b[0m";
    }
    return text.data() + result;
}

void Display::table(const std::vector<HubRow>& rows, const std::string& summary) {
    if (!terminal_) {
        return;
    }
    std::string text;
    if (drawn_lines_ > 0) {
        text += "\x1b[" + std::to_string(drawn_lines_) + "A\r";
    }
    text += "\x1b[J";
    const bool slots =
        std::any_of(rows.begin(), rows.end(), [](const HubRow& row) { return !row.slot.empty(); });
    std::string head = header;
    if (slots) {
        head.insert(13, std::string("SLOT") + std::string(slot_width - 3, ' '));
    }
    text += head + "\n";
    for (const HubRow& row : rows) {
        text += row_text(row, slots) + "\n";
    }
    text += shown(summary) + "\n";
    put(text);
    drawn_lines_ = static_cast<int>(rows.size()) + 2;
}

void Display::finish() {
    drawn_lines_ = 0;
    for (const std::string& line : held_) {
        put(line + "\n");
    }
    held_.clear();
}

} // namespace line
