// The attempts that have no record line yet. A line that dies (even by SIGKILL) leaves its tools
// running to the end of their updates, each writing into its attempt's working folder; the next
// run with the same record completes the record of each such attempt from that folder before it
// starts anything.
//
// Beside a record that is a regular file, the folder RECORD.open/ holds one symbolic link per
// open attempt, to its working folder, and that folder holds "attempt.json": the record line as
// known at the start (or, once built, the final line) and what completing it needs. A line
// holds an flock on the working folder of each attempt it has open, so that a later run tells a
// living line's attempt from one left behind without trusting process ids; the tool of each
// step holds one on its events file for as long as it runs (see tool_process.h).
#pragma once

#include "attempt_record.h"
#include "line_signals.h"
#include "unique_fd.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace line {

// The file of an open attempt in its working folder.
inline constexpr const char* attempt_file_name = "attempt.json";

class OpenAttempts {
  public:
    OpenAttempts() = default;
    // RECORD.open/ goes when no attempt is left open in it (by this line or another).
    ~OpenAttempts();
    OpenAttempts(const OpenAttempts&) = delete;
    OpenAttempts& operator=(const OpenAttempts&) = delete;

    // For the record `record`: RECORD.open/ beside it, made when missing (and again when
    // another line removed it meanwhile). A record that is not a
    // regular file keeps no open attempts (true, and nothing is noted). False with `error` set
    // when the folder cannot be made.
    bool open(const std::string& record, std::string& error);
    // The folder of the links; empty when nothing is kept.
    [[nodiscard]] const std::string& folder() const { return folder_; }
    // The record's own path, its links resolved.
    [[nodiscard]] const std::string& record() const { return record_; }

    // The attempt in the working folder `attempt` begins: `line` is its record line as known
    // now, `only_outdated` whether an up-to-date chip ends it after its check. False with
    // `error` set when it cannot be noted.
    bool begin(const std::string& attempt, std::string_view line,
               std::chrono::system_clock::time_point started, bool only_outdated,
               std::string& error);
    // Its final record line, kept in its folder until the record holds it.
    void settle(const std::string& attempt, const std::string& line);
    // The record holds the line of every settled attempt: they are no longer open.
    void close_settled();

  private:
    struct Entry {
        std::string link;
        UniqueFd lock; // the working folder, flocked
        bool settled = false;
    };
    std::string record_;
    std::string folder_;
    std::map<std::string, Entry> entries_;
};

// The record line of the attempt whose working folder is `attempt`, once no tool of it runs:
// its final line when the line had built it, else built from its start and its steps' events.
// `final` tells which. Empty with `error` set when the folder holds no open attempt.
std::optional<std::string> completed_line(const std::string& attempt, bool& final,
                                          std::string& error);

// Completes, run by run, the open attempts of the record that no living line holds:
// one line on standard error each, waiting for its tool when it still runs, then its record line
// appended, then closed. Returns 0; 1 when a record line could not be written (that attempt
// stays open); 128 + N when the stop signal N came while it waited (the rest stay open).
int complete_open_attempts(const OpenAttempts& open, RecordFile& record, LineSignals& signals);

} // namespace line
