// The hubs that match the line's ids, bus and path, listed through libusb with a fresh context
// each time (hot-plug events are not relied upon: a fresh listing sees every change, on
// hardware and on the virtual hub alike).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace line {

struct HubInfo {
    int bus = 0;
    std::vector<uint8_t> ports;
    int address = 0;
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint16_t bcd_device = 0;
    uint8_t serial_index = 0; // iSerialNumber; 0: the hub has none
    std::optional<std::string> serial;

    // "1-2.4", "1-0" for a root hub: the hub's name in folders, logs and on screen.
    [[nodiscard]] std::string place() const;
    [[nodiscard]] std::string path_text() const;
};

struct HubFilter {
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::optional<int> bus;
    std::vector<uint8_t> path_prefix;
};

struct Listing {
    int error = 0; // a libusb error code; 0: `hubs` is the whole answer
    std::vector<HubInfo> hubs;
};

// Every matching hub, by bus and port path. The serial number is read (which opens the hub,
// without a single control transfer to its chip) for the hubs `read_serial` accepts.
Listing list_hubs(const HubFilter& filter, const std::function<bool(const HubInfo&)>& read_serial);

// True when `ports` begins with `prefix`, port by port ("2.1" is no prefix of "2.10").
bool starts_with_ports(const std::vector<uint8_t>& ports, const std::vector<uint8_t>& prefix);

} // namespace line
