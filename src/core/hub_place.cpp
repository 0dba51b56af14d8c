#include "hub_place.h"

#include <algorithm>
#include <array>

std::string port_path_text(std::span<const uint8_t> ports) {
    std::string text;
    for (const uint8_t port : ports) {
        text += (text.empty() ? "" : ".") + std::to_string(port);
    }
    return text;
}

std::optional<std::vector<unsigned>> dotted_numbers(std::string_view text, unsigned largest) {
    std::vector<unsigned> numbers;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t dot = std::min(text.find('.', at), text.size());
        const std::string_view digits = text.substr(at, dot - at);
        unsigned number = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9' || number > largest) {
                return std::nullopt;
            }
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (digits.empty() || number > largest) {
            return std::nullopt;
        }
        numbers.push_back(number);
        at = dot + 1;
    }
    return numbers;
}

std::optional<std::vector<uint8_t>> parse_port_path(std::string_view text) {
    const auto numbers = dotted_numbers(text, 255);
    if (!numbers || numbers->size() > max_port_count ||
        std::find(numbers->begin(), numbers->end(), 0U) != numbers->end()) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(numbers->begin(), numbers->end());
}

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
