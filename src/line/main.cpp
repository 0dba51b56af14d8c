// tovrela-line: updates, checks or lists every matching hub at once, each hub through its own
// tovrela-update. Every input is checked before any hub is touched.
#include "attempt_record.h"
#include "display.h"
#include "images.h"
#include "line_options.h"
#include "line_run.h"
#include "line_signals.h"
#include "open_attempts.h"
#include "run_folder.h"
#include "slots.h"
#include "usb_listing.h"

#include <array>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace line;

// The line's exit statuses before any hub is handled (those after are the line's results).
enum StartStatus : int { exit_usage = 2, exit_no_hub = 3, exit_images = 4 };

int refuse(int status, const std::string& text) {
    std::fprintf(stderr, "tovrela-line: %s\n", text.c_str());
    return status;
}

// The tovrela-update installed beside this program.
std::string tool_beside_me() {
    std::array<char, PATH_MAX> path{};
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return "tovrela-update";
    }
    std::string text(path.data(), static_cast<std::size_t>(length));
    return text.substr(0, text.rfind('/') + 1) + "tovrela-update";
}

std::string host_name() {
    std::array<char, 256> name{};
    return gethostname(name.data(), name.size() - 1) == 0 ? name.data() : "";
}

// The images, checked and hashed, or the exit status of their refusal.
int load_checked_images(const LineOptions& options, ImageSet& set) {
    std::string error;
    auto loaded = load_images("update.ini", error);
    if (!loaded) {
        return refuse(exit_images, "images refused: " + error);
    }
    set = std::move(*loaded);
    if (options.expect_sha256.empty()) {
        return 0;
    }
    std::ifstream in(options.expect_sha256);
    std::stringstream sums;
    sums << in.rdbuf();
    if (!in.is_open() || in.bad()) {
        return refuse(exit_usage,
                      "--expect-sha256: \"" + options.expect_sha256 + "\" cannot be read");
    }
    if (const std::string refusal = expected_sums_refusal(set, sums.str()); !refusal.empty()) {
        return refuse(exit_images, "images refused: " + refusal);
    }
    return 0;
}

// The hubs the line handles now, or the exit status of finding none (not with --watch).
int list_handled_hubs(const LineOptions& options, const SlotTable& slots, Listing& listing) {
    const auto handled = [&options, &slots](const HubInfo& hub) {
        return handled_place(options, slots, hub.place());
    };
    listing = list_hubs(options.hubs, handled);
    std::erase_if(listing.hubs, [&handled](const HubInfo& hub) { return !handled(hub); });
    if (listing.error != 0 && !options.watch) {
        return refuse(exit_no_hub, "the USB devices cannot be listed (libusb error " +
                                       std::to_string(listing.error) + ")");
    }
    if (listing.hubs.empty() && !options.watch) {
        return refuse(exit_no_hub, options.only_slots
                                       ? "no hub matched the ids, bus, path and slots"
                                       : "no hub matched the ids, bus and path");
    }
    return 0;
}

// The run's folder, or the list's temporary one in `list_folder`; none after saying why.
std::optional<RunFolder> run_folder(const LineOptions& options, const ImageSet& images,
                                    ListFolder& list_folder) {
    const auto start = std::chrono::system_clock::now();
    std::string error;
    if (options.job != Job::list) {
        auto folder = make_run_folder(options.logs, images, start, error);
        if (!folder) {
            refuse(exit_usage, "logs: " + error);
        }
        return folder;
    }
    if (!list_folder.make(start, error)) {
        refuse(exit_usage, "working folder: " + error);
        return std::nullopt;
    }
    return list_folder.run();
}

int run(LineOptions options, LineSignals& signals) {
    if (access(options.tool.c_str(), X_OK) != 0) {
        return refuse(exit_usage, "the tool \"" + options.tool + "\" cannot be run (--tool=PATH)");
    }
    // Each tool runs in its hub's folder: a relative path means the folder the line started in.
    std::error_code error_code;
    if (const auto tool = std::filesystem::absolute(options.tool, error_code); !error_code) {
        options.tool = tool.string();
    }
    std::string error;
    SlotTable slots;
    if (const auto read = options.slots.empty() ? SlotTable() : read_slots(options.slots, error)) {
        slots = *read;
    } else {
        return refuse(exit_usage, error);
    }
    // The list reads no images and writes no run folder.
    ImageSet images;
    if (const int status = options.job == Job::list ? 0 : load_checked_images(options, images);
        status != 0) {
        return status;
    }
    RecordFile record;
    if (!options.record.empty() && !record.open(options.record, error)) {
        return refuse(exit_usage, error);
    }
    EventFile events;
    if (!options.events.empty() && !events.open(options.events, error)) {
        return refuse(exit_usage, error);
    }
    OpenAttempts open_attempts;
    if (!options.record.empty() && !open_attempts.open(options.record, error)) {
        return refuse(exit_usage, error);
    }
    // What a line that died left open is recorded before anything starts.
    if (const int status = complete_open_attempts(open_attempts, record, signals); status != 0) {
        return status;
    }
    ListFolder list_folder;
    const auto folder = run_folder(options, images, list_folder);
    if (!folder) {
        return exit_usage;
    }
    Listing listing;
    if (const int status = list_handled_hubs(options, slots, listing); status != 0) {
        return status;
    }
    // Standard output carries the events alone when they go there.
    const bool events_out = options.events == "-";
    Display display(events_out ? STDERR_FILENO : STDOUT_FILENO, events_out);
    const LineSetup setup{options,     images,        *folder, record,
                          host_name(), open_attempts, events,  slots};
    return run_line(setup, signals, display, listing.hubs);
}

} // namespace

int main(int argc, char** argv) {
    // Before anything else, before any thread: the signals go to the line's signalfd.
    LineSignals signals;
    if (!signals.ready()) {
        return refuse(exit_usage, "no signalfd");
    }
    const ParsedOptions parsed = parse_options(argc, argv, tool_beside_me());
    if (parsed.outcome != ParseOutcome::run) {
        return parsed.outcome == ParseOutcome::done ? 0 : exit_usage;
    }
    return run(parsed.options, signals);
}
