// The machine-readable record: one JSON object per hub and attempt (JSON Lines), each line on
// disk before the next one is written.
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace line {

// What an attempt came to: the chip's version before and after it, its result, the tool's exit
// status, and why, for a result that is not good.
struct AttemptOutcome {
    std::optional<std::string> version_before;
    std::optional<std::string> version_after;
    std::string result;
    std::optional<int> exit_status;
    std::optional<std::string> message;
};

// One line of the record.
struct AttemptRecord {
    std::string run;
    std::string host;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    int bus = 0;
    std::string path;
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint16_t bcd_device = 0;
    std::optional<std::string> serial;
    std::optional<std::string> slot;
    std::string job;
    unsigned attempt = 1;
    AttemptOutcome outcome;
    std::optional<std::string> image_version;
    std::optional<std::string> image0_sha256;
    std::optional<std::string> image1_sha256;
    std::optional<std::size_t> image0_bytes;
    std::optional<std::size_t> image1_bytes;
    std::optional<std::string> log;
};

// An id or bcdDevice as the record and the listing write it: four lowercase hexadecimal digits.
std::string hex4(uint16_t value);

// One line of JSON with every field, null where unknown, ending in "\n".
std::string record_line(const AttemptRecord& record);

// The names of the fields, in the order of every line.
std::vector<std::string> record_field_names();

// The record file. Each line is written whole or not at all: a write that fails or falls short
// is undone to the file's previous length, and a line that could not be written is kept and
// written before the next one. A file that does not end in a line end gets one first.
class RecordFile {
  public:
    // Opens `path` for appending (created when missing); false with `error` set when it cannot
    // be opened, or is neither a regular file nor a FIFO.
    bool open(const std::string& path, std::string& error);
    [[nodiscard]] bool is_open() const { return static_cast<bool>(fd_); }
    // Appends the lines kept from failed writes and then `line`, in one write, and waits until
    // they are on disk. False when they are not: they are all kept for the next append.
    [[nodiscard]] bool append(const std::string& line);
    // The lines not written yet, each ending in "\n".
    [[nodiscard]] const std::string& kept() const { return kept_; }

  private:
    UniqueFd fd_;
    bool regular_ = false;
    std::string kept_;
};

} // namespace line
