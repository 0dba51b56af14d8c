// The hubs that match the line's ids, bus and path, listed through libusb with a fresh context
// each time (hot-plug events are not relied upon: a fresh listing sees every change, on
// hardware and on the virtual hub alike).
#pragma once

#include "hub_place.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace line {

// A hub listed: its place (bus and ports, "1-2.4") and what the listing read of it.
struct HubInfo : HubPlace {
    int address = 0;
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint16_t bcd_device = 0;
    uint8_t serial_index = 0; // iSerialNumber; 0: the hub has none
    std::optional<std::string> serial;
};

// The hubs the line is for.
struct HubFilter {
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::optional<int> bus;
    std::vector<uint8_t> path_prefix; // empty: any
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
