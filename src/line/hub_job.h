// One board on the line and the tool runs of its job: the update (an update check first, for
// the version before and --only-outdated, then the update itself, then a version read for the
// version after), the check, or the version read of the listing. Each run is one tovrela-update
// that selects exactly this hub, by its place and, when it has one, its serial number, and reports
// on its event channel.
#pragma once

#include "attempt_record.h"
#include "line_options.h"
#include "run_folder.h"
#include "tool_output.h"
#include "tool_process.h"
#include "unique_fd.h"
#include "usb_listing.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace line {

enum class Step { queued, check, update, version_read, version_after, done };

// The results a record may hold.
namespace result {
inline constexpr const char* passed = "passed";
inline constexpr const char* failed = "failed";
inline constexpr const char* busy = "busy";
inline constexpr const char* stopped = "stopped";
inline constexpr const char* unplugged = "unplugged";
inline constexpr const char* not_found = "not_found";
inline constexpr const char* up_to_date = "up_to_date";
inline constexpr const char* update_available = "update_available";
inline constexpr const char* listed = "listed";
} // namespace result

// True for the results of a hub that did its job.
bool good_result(const std::string& text);

// A board is one plug-in: a hub listed at a place, from the listing that found it until it is
// unplugged. One that comes back with the same serial number while its update is not final (it
// was pulled in the middle of it) is the same board, on its next attempt.
struct Board {
    HubInfo hub;
    Step step = Step::queued;
    unsigned attempt = 1;
    bool final = false;         // its result counts: no other attempt follows
    bool may_come_back = false; // unplugged before a final result, with a serial number
    std::optional<HubFolder> folder;
    UniqueFd log;
    bool log_failed = false;
    std::optional<ToolProcess> process;
    std::optional<ToolOutput> output;
    std::chrono::system_clock::time_point started{};
    std::chrono::system_clock::time_point ended{};
    std::chrono::steady_clock::time_point started_steady{};
    std::chrono::steady_clock::time_point update_started{};
    bool update_began = false;
    AttemptOutcome outcome;
    int quarters_shown = 0;
    bool present = true;
    std::optional<std::string> slot;          // the fixture's name for its place (--slots)
    std::array<int, 2> percents_sent{-1, -1}; // the last progress event of each image
};

// The tool's options for one step on `hub`.
std::vector<std::string> tool_args(const HubInfo& hub, Step step);

// What a finished run of `step` says: one of the results above, from its exit status and its
// events.
std::string step_result(Step step, const ToolProcess& process, const ToolOutput& output);
// The same from the exit status (or 128 + the signal, `by_signal`) of a tool that is not a child.
std::string step_result(Step step, int status, bool by_signal, const ToolOutput& output);

// The file of a step's events in its working folder: "check.events", "update.events",
// "read_version.events", "version_after.events".
std::string events_file_name(Step step);

} // namespace line
