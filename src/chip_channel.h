// The chip's command channel: command frames, the status reply, register write and read.
#pragma once

#include <cstdint>
#include <libusb.h>

enum class ChipStatus { transfer_failed, finished, not_finished };

// rc::done with N + 4 bytes written to `frame`; rc::failed after "Tovrela_Warp_Over\n" when
// N > 127.
[[nodiscard]] int wrap_command_frame(const uint8_t* payload, uint32_t length, uint8_t* frame);

// One status request (0xA3, wIndex 0xE7, 8 bytes) and its test; a reply of fewer than 8 bytes
// is not finished.
[[nodiscard]] ChipStatus read_chip_status(libusb_device_handle* handle);

enum class PollOutcome { finished, transfer_failed, timed_out };

// Status reads per command, at most.
constexpr unsigned max_status_reads = 10;

// Reads the status until the chip has finished, at most max_status_reads times, each read after
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
