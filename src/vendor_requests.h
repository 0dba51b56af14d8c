// The two vendor control requests that reach the hub's I2C bridge. They are the only callers of
// libusb_control_transfer.
// Stand-ins: test/support/test_device.cpp (tests, fuzz), test/support/transfer_fault.cpp (wraps).
#pragma once

#include <cstdint>
#include <libusb.h>

// The hub's request codes, as the tool speaks them.
namespace hub_request {
constexpr uint8_t status_or_value = 0xA3; // in: status reply (wIndex 0xE7) or register value (0xE9)
constexpr uint8_t command_frame = 0xB2;   // out: a command frame
constexpr uint8_t address = 0xB7;         // out: register address, or a flash block header
constexpr uint8_t flash_data = 0xB8;      // out: a piece of flash data
constexpr uint8_t flash_crc = 0xB9;       // out: a flash block's CRC
} // namespace hub_request

// Host to device. rc::done when all `length` bytes were sent, rc::failed after the failure line (a
// transfer error, or fewer bytes moved than asked).
[[nodiscard]] int i2c_write_cmd(libusb_device_handle* handle, uint8_t request, uint16_t length,
                                const uint8_t* data);

// Device to host. rc::done when the transfer succeeded, rc::failed after the failure line. When
// `received` is given it gets the number of bytes that arrived.
[[nodiscard]] int i2c_read_cmd(libusb_device_handle* handle, uint8_t request, uint8_t index,
                               uint16_t length, uint8_t* buffer, int* received = nullptr);
