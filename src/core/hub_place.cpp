#include "hub_place.h"

#include <array>

std::string HubPlace::place() const {
    return std::to_string(bus) + "-" + (ports.empty() ? "0" : path_text());
}

std::optional<HubPlace> parse_hub_place(std::string_view text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 3) {
        return std::nullopt;
    }
    HubPlace place;
    for (const char c : text.substr(0, dash)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        place.bus = place.bus * 10 + (c - '0');
    }
    if (place.bus < 1 || place.bus > 255) {
        return std::nullopt;
    }
    const std::string_view path = text.substr(dash + 1);
    if (path == "0") {
        return place;
    }
    auto ports = parse_port_path(path);
    if (!ports) {
        return std::nullopt;
    }
    place.ports = std::move(*ports);
    return place;
}

HubPlace device_place(libusb_device* device) {
    std::array<uint8_t, max_port_count + 1> numbers{};
    const int count =
        libusb_get_port_numbers(device, numbers.data(), static_cast<int>(numbers.size()));
    HubPlace place;
    place.bus = libusb_get_bus_number(device);
    if (count > 0) {
        place.ports.assign(numbers.begin(), numbers.begin() + count);
    }
    return place;
}
