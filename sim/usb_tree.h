// The simulated USB tree: root hubs, the hubs that carry a chip, the hubs on the way to them and
// any extra devices, each as a udev record that umockdev turns into sysfs and a device node.
#pragma once

#include "sim_options.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct UsbDevice {
    DevicePlace place;
    unsigned devnum = 0;
    uint16_t bcd_device = 0;
    bool hub = false;    // has devices behind it, or is a root hub
    bool chip = false;   // a hub that carries a simulated chip
    int chip_hub = -1;   // which: 0 the hub of --bus and --port-path, 1 on those of --hub
    std::string sysname; // usb1, 1-2, 1-2.4
    std::string syspath; // /devices/.../usb1/1-2/1-2.4
    std::string devnode; // /dev/bus/usb/001/005
    std::string record;  // udev record for umockdev_testbed_add_from_string
};

// The string descriptor `index` of a device whose serial number is `serial` (iSerialNumber 3),
// as a GET_DESCRIPTOR request answers it: index 0 the language table (US English), index 3 the
// serial number in UTF-16LE. Empty when the device has no such string (the request stalls).
std::vector<uint8_t> string_descriptor(const std::string& serial, uint8_t index);

// `chip_hub` of a hub of --plug, which is not in the tree at the start.
constexpr int plugged_later = -2;

// Fills in the names and the udev record of `device` from its place, devnum and serial.
void describe(UsbDevice& device);

// Builds the tree in the order the devices must be added (parents first). Returns 1, or 0 with
// the reason in `error` (two devices at one place).
int build_usb_tree(const Options& options, std::vector<UsbDevice>& devices, std::string& error);

} // namespace sim
