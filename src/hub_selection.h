// Listing the attached USB devices and selecting the target hub.
#pragma once

#include <cstdint>
#include <libusb.h>

struct TargetDevice {
    uint8_t index = 0;
    libusb_device* device = nullptr;
    uint16_t bcd_device = 0;
};

// 0 with `target` filled, -4 when the device list is unavailable, -5 when nothing matched.
// The device list stays held until release_device_list.
int find_target_device(TargetDevice* target);

// Releases the device list of the last enumeration (devices unreferenced), if any.
void release_device_list();
