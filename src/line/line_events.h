// The line's events for machines (JSON Lines, version 1): a board's attempt started, its
// progress per image in whole percent, its end with the result. Each event is one line, written
// with one write(2) as it happens, to a file opened for appending, a FIFO, or standard output.
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace line {

// The board an event is about.
struct EventBoard {
    std::string place; // "1-2.4"
    std::optional<std::string> serial;
    unsigned attempt = 1;
    std::optional<std::string> slot;
};

// One event line, ending in "\n": the keys of every event, then those of its kind.
std::string started_event(std::chrono::system_clock::time_point time, const EventBoard& board);
struct ImageProgress {
    int image = 0;   // 0 or 1
    int percent = 0; // of that image, whole
};
std::string progress_event(std::chrono::system_clock::time_point time, const EventBoard& board,
                           ImageProgress progress);
std::string ended_event(std::chrono::system_clock::time_point time, const EventBoard& board,
                        const std::string& result, std::optional<int> exit_status,
                        const std::optional<std::string>& message);

// The keys of an event of `kind` ("started", "progress", "ended"), in their order.
std::vector<std::string> event_keys(const std::string& kind);

class EventFile {
  public:
    // "-": standard output. Otherwise `path` is opened for appending (created when missing);
    // false with `error` set when it cannot be, or is neither a regular file nor a FIFO.
    bool open(const std::string& path, std::string& error);
    [[nodiscard]] bool is_open() const { return fd_ >= 0; }
    // Writes `line` with one write, never waiting: on a pipe or FIFO whose reader does not keep
    // up, the event is dropped. A write that fails or falls short is said once on standard
    // error; the line goes on and later events are still written.
    void write(const std::string& line);
    // True once a write failed.
    [[nodiscard]] bool failed() const { return failed_; }

  private:
    void never_wait() const;

    UniqueFd owned_;
    int fd_ = -1;
    bool regular_ = false;
    std::string name_;
    bool failed_ = false;
};

} // namespace line
