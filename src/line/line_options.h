// The command line of tovrela-line, read with getopt_long, and its --help and --version texts.
#pragma once

#include "usb_listing.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace line {

enum class Job { update, check, list };

const char* job_name(Job job);

struct LineOptions {
    HubFilter hubs; // --vid, --pid, --bus, --path
    Job job = Job::update;
    std::string tool;  // the tovrela-update each hub is handled by
    unsigned jobs = 0; // at most this many hubs at once; 0: all
    bool only_outdated = false;
    bool watch = false;
    unsigned count = 0;   // --watch ends after this many boards have a final result; 0: on a signal
    unsigned retries = 0; // a failed update is made again up to this many more times
    std::string logs = "tovrela-line-logs";
    std::string record;        // empty: no record
    std::string expect_sha256; // empty: no expected sums
    std::string events;        // empty: no events; "-": standard output
    std::string slots;         // empty: no slots file
    bool only_slots = false;   // only the places the slots file names
};

enum class ParseOutcome { run, done, usage_error };

struct ParsedOptions {
    ParseOutcome outcome = ParseOutcome::usage_error;
    LineOptions options;
};

// Reads the command line. --help and --version print their text (outcome `done`); a usage
// error prints one line on standard error. `default_tool` is taken when --tool is not given.
ParsedOptions parse_options(int argc, char** argv, const std::string& default_tool);

} // namespace line
