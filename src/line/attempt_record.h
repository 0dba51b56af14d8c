// The machine-readable record: one JSON object per hub and attempt (JSON Lines), each line on
// disk before the next one is written.
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace line {

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
    std::string job;
    std::optional<std::string> version_before;
    std::optional<std::string> image_version;
    std::optional<std::string> image0_sha256;
    std::optional<std::string> image1_sha256;
    std::optional<std::size_t> image0_bytes;
    std::optional<std::size_t> image1_bytes;
    std::string result;
    std::optional<int> exit_status;
    std::optional<std::string> message;
    std::optional<std::string> log;
};

// One line of JSON with every field, null where unknown, ending in "\n".
std::string record_line(const AttemptRecord& record);

// The names of the fields, in the order of every line.
std::vector<std::string> record_field_names();

class RecordFile {
  public:
    // Opens `path` for appending; false with `error` set when it cannot.
    bool open(const std::string& path, std::string& error);
    [[nodiscard]] bool is_open() const { return static_cast<bool>(fd_); }
    // Appends the line in one write and waits until it is on disk; false when it is not.
    [[nodiscard]] bool append(const std::string& line) const;

  private:
    UniqueFd fd_;
};

} // namespace line
