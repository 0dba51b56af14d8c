// The full update: register 0x5000 sequence around Image 1 and Image 0, PASS or FAIL banner.
#pragma once

#include <libusb.h>

// 1 when every step succeeded, else 0.
int update_firmware(libusb_device_handle* handle);
