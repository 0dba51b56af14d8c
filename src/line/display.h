// What people see. On a terminal: a table redrawn in place, one row per hub, and a summary line
// under it (colours unless NO_COLOR is set). Off a terminal: one plain line per event, with no
// carriage return and no escape code. Nothing here is meant for machines: the record is.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace line {

enum class RowState { queued, running, good, bad };

struct HubRow {
    std::string place;
    std::string slot; // the fixture's name for the place; empty: none
    std::string serial;
    std::string phase;
    std::optional<double> progress; // 0 to 1
    double elapsed = 0;             // seconds
    std::optional<double> left;     // seconds
    std::string result;
    RowState state = RowState::queued;
};

class Display {
  public:
    // Writes to `fd` (standard output); a table when it is a terminal, unless `plain`: then
    // plain lines only (standard error, when standard output carries the events).
    explicit Display(int fd, bool plain = false);

    [[nodiscard]] bool terminal() const { return terminal_; }
    // True when the lines go to standard error (standard output carries the events).
    [[nodiscard]] bool on_standard_error() const { return fd_ == 2; }
    // An event line; shown off a terminal only (the table shows the same on a terminal).
    void event(const std::string& line) const;
    // A line for everyone: off a terminal at once, on a terminal below the final table.
    void say(const std::string& line);
    // Redraws the table in place (on a terminal only).
    void table(const std::vector<HubRow>& rows, const std::string& summary);
    // Ends the table: the lines said meanwhile follow it.
    void finish();

  private:
    void put(const std::string& text) const;
    [[nodiscard]] std::string row_text(const HubRow& row, bool slots) const;

    int fd_;
    bool terminal_;
    bool colour_;
    int drawn_lines_ = 0;
    std::vector<std::string> held_;
};

// The text with control characters and bytes that are not printable escaped ("\\n", "\\x1b"), as
// every line shows a string that came from a device.
std::string shown(const std::string& text);

// "1:05" for 65 seconds, "12s" below a minute.
std::string duration_text(double seconds);

} // namespace line
