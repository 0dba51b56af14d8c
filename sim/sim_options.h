// The command line of tovrela-sim: what the virtual hub looks like, how the chip behaves, where
// the records go, and the command to run on it.
#pragma once

#include "chip_model.h"

#include <cstddef>
#include <cstdint>
#include <string>
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
    std::vector<unsigned> ports;
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string serial; // a hub's serial number string; empty: none (iSerialNumber 0)
};

// Sends `signal` to the process that made the nth request with code `request`, once the chip has
// taken it.
struct SignalRule {
    int signal = 0;
    uint8_t request = 0;
    unsigned nth = 0;
    bool sent = false; // kept by the bed
};

struct Options {
    DevicePlace hub{1, {2, 4}, default_vid, default_pid, {}};
    std::vector<DevicePlace> more_hubs; // --hub: each with a chip of its own
    std::vector<SignalRule> signals;    // --signal, repeatable
    std::vector<DevicePlace> extra_devices;
    chip_model::Config chip;
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

// The --help text.
std::string usage_text();

} // namespace sim
