// The add and remove events of the simulated tree, as libusb's udev monitor hears them.
//
// umockdev's testbed does not send them for the simulator: umockdev_testbed_add_from_string sends
// its "add" event only when the caller runs in a mock environment itself (under the umockdev
// preload; the simulator does not), umockdev_testbed_remove_device sends none, and its event
// sender looks the device up in the caller's /sys, where the simulated device is not, and aborts
// the process when a listener's queue is full. So the simulator sends them here: a libudev
// monitor message (the "libudev" header with the subsystem and devtype hashes that the monitor's
// socket filter checks, then the properties) to every process's uevent socket in the test bed.
#pragma once

#include <string>

namespace sim {

enum class Uevent { add, remove };

// Sends `action` for the device of udev record `record` (as usb_tree makes
// it) to every uevent socket in `root`. A socket of an ended process is removed; a listener whose
// queue stays full for a second misses the event. Returns the number of listeners reached.
int send_uevent(const std::string& root, Uevent action, const std::string& record);

} // namespace sim
