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

// The one-writer lock of a hub: an exclusive flock on a lock file named after the hub's bus and
// port path, in $TOVRELA_LOCK_DIR or else /run/lock, so that two tool processes never talk to one
// hub at once. 1 when this process holds it (or when no lock file can be made here, after a
// warning on standard error), 0 when another process holds it. Held until unlock_hub.
int lock_hub(libusb_device* device);
void unlock_hub();

// Releases the device list of the last enumeration (devices unreferenced), if any.
void release_device_list();
