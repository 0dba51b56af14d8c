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

// Builds the tree in the order the devices must be added (parents first). Returns 1, or 0 with
// the reason in `error` (two devices at one place).
int build_usb_tree(const Options& options, std::vector<UsbDevice>& devices, std::string& error);

} // namespace sim
