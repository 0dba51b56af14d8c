// A hub's place on the USB tree, for every program that names or selects a hub: its bus and its
// port numbers from the root hub on, with their two text forms, the port path "2.4" and the
// place "1-2.4".
#pragma once

#include <cstddef>
#include <cstdint>
#include <libusb.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The most ports a port path holds.
inline constexpr std::size_t max_port_count = 7;

// "2.4"; empty for no ports.
[[nodiscard]] std::string port_path_text(std::span<const uint8_t> ports);

// Numbers of 0 to `largest` (at most 99999) joined by '.' ("2.13.15.4"), each written with
// digits alone, read whole; none otherwise. The port path and a version are written so.
[[nodiscard]] std::optional<std::vector<unsigned>> dotted_numbers(std::string_view text,
                                                                  unsigned largest);

// 1 to 7 port numbers 1 to 255 joined by '.' ("2.4" gives 2, 4), read whole; none otherwise.
[[nodiscard]] std::optional<std::vector<uint8_t>> parse_port_path(std::string_view text);

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
