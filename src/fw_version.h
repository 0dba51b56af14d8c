// Firmware versions of the chip and of Image 0, their comparison and the self test.
#pragma once

#include <cstdint>
#include <libusb.h>

struct FwVersion {
    uint32_t std_major = 0;
    uint32_t std_minor = 0;
    uint32_t std_revision = 0;
    uint32_t customer_minor = 0;
};

// True when a is strictly greater than b, fields compared in order.
bool fw_version_gt(const FwVersion& a, const FwVersion& b);

// 1 when all three version registers were read (and printed), else 0. `version` may be null.
int read_device_version(libusb_device_handle* handle, FwVersion* version);

// 1 when both images opened and fit 2 MiB, else 0. `version` may be null.
int read_image_version(FwVersion* version);

// 0 update available, 7 up to date, -1 device version not read, -2 image version not read.
int check_fw_update(libusb_device_handle* handle);

// 0 when every self test passed, -1 otherwise.
int run_self_tests();
