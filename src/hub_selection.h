// Listing the attached USB devices and selecting the target hub.
#pragma once

#include <cstdint>
#include <libusb.h>

struct TargetDevice {
    uint8_t index = 0;
    libusb_device* device = nullptr;
    uint16_t bcd_device = 0;
};

// rc::ok with `target` filled, rc::no_device_list when the device list is unavailable,
// rc::not_found when nothing matched. The device list stays held until release_device_list.
[[nodiscard]] int find_target_device(TargetDevice* target);

// The one-writer lock of a hub, so that two tool processes never talk to one hub at once: an
// exclusive flock on a lock file named after the hub's bus and port path, in $TOVRELA_LOCK_DIR (an
// absolute path) or else /run/lock, and one on the hub's device node /dev/bus/usb/BBB/DDD, which
// every process shares whatever its lock folder. rc::done when this process holds both;
// rc::failed, after one line on standard error naming the file or node and the reason, when
// either cannot be held for any reason: held by another process, a relative folder, a link, a
// FIFO or any other lock file that is not a regular one, no permission, no such folder or node.
// Held until unlock_hub.
[[nodiscard]] int lock_hub(libusb_device* device);
void unlock_hub();

// Releases the device list of the last enumeration (devices unreferenced), if any.
void release_device_list();
