// A hub's port path, the port numbers from the root hub on, and its text form "2.4": for the
// programs that select a hub and for the virtual hub alike.
#pragma once

#include <cstddef>
#include <cstdint>
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
