// The chip's command channel: command frames, the status reply, register write and read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <libusb.h>

// The chip's I2C addresses in their 8-bit form (bit 0 set: read).
constexpr uint8_t chip_command_write = 0xE6;
constexpr uint8_t chip_command_read = 0xE7;
constexpr uint8_t chip_register_write = 0xE8;

// The second byte of every command frame.
constexpr uint8_t frame_marker = 0x51;
// The longest payload a command frame carries.
constexpr uint32_t max_frame_payload = 127;

// The command frame of a payload of N bytes (N at most max_frame_payload) into `frame`, N + 4
// bytes: the chip's write address, the marker, 0x80 + N, the payload, and the XOR of every byte
// before it.
constexpr void build_command_frame(const uint8_t* payload, uint32_t length, uint8_t* frame) {
    frame[0] = chip_command_write;
    frame[1] = frame_marker;
    frame[2] = static_cast<uint8_t>(0x80 + length);
    uint8_t check = frame[0] ^ frame[1] ^ frame[2];
    for (uint32_t i = 0; i < length; ++i) {
        frame[3 + i] = payload[i];
        check ^= payload[i];
    }
    frame[3 + length] = check;
}

// The command frame of a payload fixed when the tool is built.
template <std::size_t N>
constexpr std::array<uint8_t, N + 4> command_frame(const std::array<uint8_t, N>& payload) {
    static_assert(N <= max_frame_payload, "a command frame carries at most 127 payload bytes");
    std::array<uint8_t, N + 4> frame{};
    build_command_frame(payload.data(), N, frame.data());
    return frame;
}

enum class ChipStatus { transfer_failed, finished, not_finished };

// rc::done with N + 4 bytes written to `frame` (build_command_frame); rc::failed after
// "Tovrela_Warp_Over\n" when N > max_frame_payload.
[[nodiscard]] int wrap_command_frame(const uint8_t* payload, uint32_t length, uint8_t* frame);

// One status request (0xA3, wIndex 0xE7, 8 bytes) and its test; a reply of fewer than 8 bytes
// is not finished.
[[nodiscard]] ChipStatus read_chip_status(libusb_device_handle* handle);

enum class PollOutcome { finished, transfer_failed, timed_out };

// Reads the status until the chip has finished, at most 10 times, each read after
// a pause of `extra_pause_us` (when non-zero) and then 321 ms. `not_finished` receives the count
// of "not finished" replies.
[[nodiscard]] PollOutcome poll_chip_status(libusb_device_handle* handle, uint32_t extra_pause_us,
                                           unsigned* not_finished);

// rc::done when the frame was sent and a finished status arrived within the poll, else
// rc::failed.
[[nodiscard]] int Tovrela_Reg_Write(libusb_device_handle* handle, uint16_t address, uint16_t value);

// rc::done with the register's value (high byte first) in `value`, else rc::failed and `value`
// untouched.
[[nodiscard]] int Tovrela_Reg_Read(libusb_device_handle* handle, uint8_t device, uint16_t address,
                                   uint16_t* value);
