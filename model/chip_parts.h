// What the parts of the chip model share: the hub's request codes, the setup fields of a
// transfer, the violation record, the pauses (chip_timing.cpp) and the injected faults
// (chip_faults.cpp). For the model's own files only.
#pragma once

#include "chip_model.h"

#include <cstddef>
#include <cstdint>

namespace chip_model::parts {

// Setup fields of the hub's vendor requests.
constexpr uint8_t type_out = 0x40;        // host to device, vendor, recipient device
constexpr uint8_t type_in = 0xC0;         // device to host, vendor, recipient device
constexpr uint8_t request_read = 0xA3;    // in: status reply or register value
constexpr uint8_t request_command = 0xB2; // out: command frame
constexpr uint8_t request_address = 0xB7; // out: register address or flash block header
constexpr uint8_t request_data = 0xB8;    // out: a piece of a flash block
constexpr uint8_t request_crc = 0xB9;     // out: a flash block's CRC frame

// I2C addresses of the chip's two interfaces, 8-bit form.
constexpr uint8_t command_write = 0xE6;
constexpr uint8_t command_read = 0xE7;
constexpr uint8_t register_write = 0xE8;
constexpr uint8_t register_read = 0xE9;

// The setup fields of one control transfer.
struct Setup {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// Records one violation, naming the transfer (1-based) and its request code.
[[gnu::format(printf, 2, 3)]] void violation(Chip& chip, const char* format, ...);

// Judges the pauses before the transfer just recorded, made at `now_us`.
void check_timing(Chip& chip, const Setup& setup, uint64_t now_us);

// What an injected fault makes of the request it strikes: a failure code to return at once, or
// the bytes to move and the kind of status reply to give.
struct FaultEffect {
    int failure = 0; // non-zero: the request fails with this code
    std::size_t moved = 0;
    FaultKind reply_kind = FaultKind::none;
};

// Counts the request and gives what the configured fault makes of it.
FaultEffect fault_effect(Chip& chip, const Setup& setup);

} // namespace chip_model::parts
