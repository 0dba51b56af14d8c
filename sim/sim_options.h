// The command line of tovrela-sim: what the virtual hub looks like, how the chip behaves, where
// the records go, and the command to run on it.
#pragma once

#include "chip_model.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// The longest serial number a string descriptor holds (254 bytes of UTF-16 after its head).
constexpr std::size_t max_serial_length = 126;

// Placeholder identifiers of the simulated hub, used unless told otherwise.
constexpr uint16_t default_vid = 0x1234;
constexpr uint16_t default_pid = 0x5678;

// One USB device of the simulated tree. An empty port path is the bus's root hub.
struct DevicePlace {
    unsigned bus = 1;
    std::vector<uint8_t> ports;
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string serial; // a hub's serial number string; empty: none (iSerialNumber 0)
};

// The hub an option applies to: every hub with a chip, or the one at `bus` and `ports`
// ("@BUS:PATH" after the option's value).
struct HubTarget {
    bool every = true;
    unsigned bus = 0;
    std::vector<uint8_t> ports;

    [[nodiscard]] bool matches(const DevicePlace& place) const {
        return every || (place.bus == bus && place.ports == ports);
    }
};

// Sends `signal` to the process that made the nth request with code `request`, or to that
// process's parent (a supervisor such as timeout): once the chip has taken the request, before
// the process has its answer, or `delay_ms` of real time later (when the process may be in a
// pause, where a signal reaches it at once; within the answer the umockdev preload keeps every
// signal blocked, so two signals sent then arrive as one).
constexpr unsigned max_signal_delay_ms = 60000;

struct SignalRule {
    int signal = 0;
    uint8_t request = 0;
    unsigned nth = 0;
    unsigned delay_ms = 0;
    HubTarget target;
    bool to_parent = false;
    bool sent = false; // kept by the bed
};

// --plug and --unplug: a hub with a fresh chip added, or a hub removed, `at_ms` after the command
// started.
struct PlugEvent {
    uint64_t at_ms = 0;
    bool plug = true;
    DevicePlace place;
};

struct Options {
    DevicePlace hub{1, {2, 4}, default_vid, default_pid, {}};
    std::vector<DevicePlace> more_hubs; // --hub: each with a chip of its own
    std::vector<SignalRule> signals;    // --signal, repeatable
    std::vector<DevicePlace> extra_devices;
    std::vector<PlugEvent> plugs; // --plug and --unplug, in the order given
    std::string control_fifo;     // --control: plug and unplug lines read while the command runs
    chip_model::Config chip;      // every hub's chip, but for the rules below
    std::vector<std::pair<HubTarget, chip_model::Fault>> hub_faults; // --fault ...@BUS:PATH
    std::vector<std::pair<HubTarget, unsigned>> hub_busy;            // --busy N@BUS:PATH
    std::string flash_out_dir;
    std::string trace_file;
    std::string verdict_file;
    std::string usage_file; // the command's CPU time and peak memory
    bool fast = false;
    bool no_devices = false; // an empty tree: no root hub, no device
    bool unplugged = false;  // the hub is listed but its device node is gone
    bool help = false;
    bool version = false;
    std::vector<std::string> command;
};

// Parses argv[1..]. Returns 1 with `options` filled, or 0 with a one-line reason in `error`.
int parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// The chip configuration of the hub at `place`: --version-bytes, and --fault and --busy for
// every hub unless one names this hub.
chip_model::Config chip_config(const Options& options, const DevicePlace& place);

// Parses the place of a "plug BUS:PATH[:SERIAL]" or "unplug BUS:PATH" line of --control, with
// the hub ids of `options`. False when the line is neither.
bool parse_control_line(const std::string& line, const Options& options, PlugEvent& event);

// The --help text.
std::string usage_text();

} // namespace sim
