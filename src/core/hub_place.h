// A hub's place on the USB tree, for every program that names or selects a hub: its bus and its
// port numbers from the root hub on, with their two text forms, the port path "2.4" and the
// place "1-2.4".
#pragma once

#include "port_path.h"

#include <cstdint>
#include <libusb.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct HubPlace {
    int bus = 0;
    std::vector<uint8_t> ports; // empty: a hub without ports (a root hub)

    // The port path, "2.4"; empty for a hub without ports.
    [[nodiscard]] std::string path_text() const { return port_path_text(ports); }
    // The place, "1-2.4", and "1-0" for a hub without ports: the hub's name in lock files,
    // folders and messages.
    [[nodiscard]] std::string place() const;
};

// A place as HubPlace::place() writes it ("1-2.4", "1-0"; bus 1 to 255), read whole; none
// otherwise.
[[nodiscard]] std::optional<HubPlace> parse_hub_place(std::string_view text);

// The place of a device as libusb sees it.
[[nodiscard]] HubPlace device_place(libusb_device* device);
