// Firmware versions of the chip and of Image 0, their comparison and the self test.
#pragma once

#include "fw_version_record.h"

#include <libusb.h>

// True when a is strictly greater than b, fields compared in order.
[[nodiscard]] bool fw_version_gt(const FwVersion& a, const FwVersion& b);

// rc::done when all three version registers were read (and printed), else rc::failed. `version`
// may be null.
[[nodiscard]] int read_device_version(libusb_device_handle* handle, FwVersion* version);

// rc::done when both images opened and fit 2 MiB, else rc::failed. `version` may be null.
[[nodiscard]] int read_image_version(FwVersion* version);

// update_check::available, up_to_date, device_version_unread or image_version_unread.
[[nodiscard]] int check_fw_update(libusb_device_handle* handle);

// 0 when every self test passed, -1 otherwise.
[[nodiscard]] int run_self_tests();
