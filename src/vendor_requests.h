// The two vendor control requests that reach the hub's I2C bridge. They are the only callers of
// libusb_control_transfer.
#pragma once

#include <cstdint>
#include <libusb.h>

// Host to device. 1 when the transfer succeeded, 0 after the failure line.
int i2c_write_cmd(libusb_device_handle* handle, uint8_t request, uint16_t length,
                  const uint8_t* data);

// Device to host. 1 when the transfer succeeded, 0 after the failure line. When `received` is
// given it gets the number of bytes that arrived.
int i2c_read_cmd(libusb_device_handle* handle, uint8_t request, uint8_t index, uint16_t length,
                 uint8_t* buffer, int* received = nullptr);
