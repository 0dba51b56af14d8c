// The full update: register 0x5000 sequence around Image 1 and Image 0, PASS or FAIL banner.
#pragma once

#include <libusb.h>

// rc::done when every step succeeded, else rc::failed.
[[nodiscard]] int update_firmware(libusb_device_handle* handle);
