// Device table of every attached USB device and the choice of the target hub among them.
#include "hub_selection.h"

#include "hub_place.h"
#include "message_output.h"
#include "result_codes.h"
#include "settings.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The list of the last enumeration; the selected device is one of its entries and stays valid
// while the list holds its reference.
libusb_device** gDeviceList = nullptr;
// What the last libusb_get_device_list returned: the number of entries or a libusb error, in 64
// bits whatever the width of libusb's ssize_t.
int64_t gDeviceCount = 0;

constexpr const char* rule_line =
    "----------------------------------------------------------------\n";

using PortNumbers = std::array<uint8_t, 8>;

// The lock file and the device node of the hub whose locks this process holds, or -1.
int gHubLock = -1;
int gNodeLock = -1;

// Never through a link, never blocking (a FIFO), never a terminal of its own.
constexpr int lock_open_flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// The port path filter: the device's port numbers must begin with gTargetPath, and with
// gExactPath set they must be exactly gTargetPath (none at all for "-path=0").
bool path_matches(libusb_device* device, int position) {
    PortNumbers ports{};
    const int count = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    print_message("          [Multi-Hub] get_path_number = %d\n", count);
    if (count < 0 || (count == 0 && gSettings.gExactPath == 0)) {
        return false;
    }
    const auto& target = gSettings.gTargetPath;
    std::size_t length = 0;
    for (std::size_t j = 0; j < target.size(); ++j) {
        if (target[j] == 0) {
            break;
        }
        if (target[j] != ports[j]) {
            print_message("          [Dev %d] target_path[%d]_%d != path[%d]_%d\n", position,
                          static_cast<int>(j), static_cast<int>(target[j]), static_cast<int>(j),
                          static_cast<int>(ports[j]));
            return false;
        }
        length = j + 1;
    }
    if (gSettings.gExactPath != 0 && static_cast<std::size_t>(count) != length) {
        print_message("          [Dev %d] path length %d != target length %d\n", position, count,
                      static_cast<int>(length));
        return false;
    }
    return true;
}

// The bus filter: the device must sit on gBus.
bool bus_matches(libusb_device* device, int position) {
    const uint8_t bus = libusb_get_bus_number(device);
    const bool same = bus == gSettings.gBus;
    print_message(same ? "          [Dev %d] current_BUS_%d == target_BUS_%d\n"
                       : "          [Dev %d] current_BUS_%d != target_BUS_%d\n",
                  position, static_cast<int>(bus), static_cast<int>(gSettings.gBus));
    return same;
}

// The device's serial number string, read through an open of its own (standard GET_DESCRIPTOR
// requests only, nothing for the chip); empty when it has none or it cannot be read. An open that
// fails is said on standard error, so that a hub never goes unnoticed for want of access.
std::string serial_number(libusb_device* device, uint8_t index) {
    if (index == 0) {
        return {};
    }
    libusb_device_handle* handle = nullptr;
    if (const int error = libusb_open(device, &handle); error < 0) {
        const HubPlace place = device_place(device);
        print_problem("tovrela-update: cannot read the serial number of the hub at bus %d path %s: "
                      "%s\n",
                      place.bus, place.ports.empty() ? "0" : place.path_text().c_str(),
                      libusb_error_name(error));
        return {};
    }
    std::array<unsigned char, 256> text{};
    const int length = libusb_get_string_descriptor_ascii(handle, index, text.data(),
                                                          static_cast<int>(text.size()));
    libusb_close(handle);
    if (length <= 0) {
        return {};
    }
    return {reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length)};
}

// The serial number filter: the device's serial number string must be gSerial; a device without
// one never matches. The filter line is a detail of DbgMsg.
bool serial_matches(libusb_device* device, const libusb_device_descriptor& descriptor,
                    int position) {
    const std::string serial = serial_number(device, descriptor.iSerialNumber);
    const bool same = !serial.empty() && serial == gSettings.gSerial.data();
    if (gSettings.gDbgMsg != 0) {
        print_message(same ? "          [Dev %d] serial %s == target serial %s\n"
                           : "          [Dev %d] serial %s != target serial %s\n",
                      position, serial.empty() ? "(none)" : serial.c_str(),
                      gSettings.gSerial.data());
    }
    return same;
}

// The filters in their order: the ids, then the port path, the bus and the serial number when
// they are set.
bool is_target(libusb_device* device, const libusb_device_descriptor& descriptor, int position) {
    bool matched =
        descriptor.idVendor == gSettings.gHub1VID && descriptor.idProduct == gSettings.gHub1PID;
    // "-path=0" filters nothing, unless the path is exact: then it means a hub without ports.
    const bool exact_root = gSettings.gExactPath != 0 && gSettings.gPathText[0] != '\0';
    if (matched && (gSettings.gTargetPath[0] != 0 || exact_root)) {
        matched = path_matches(device, position);
    }
    if (matched && gSettings.gBus != 0) {
        matched = bus_matches(device, position);
    }
    if (matched && gSettings.gSerial[0] != '\0') {
        matched = serial_matches(device, descriptor, position);
    }
    return matched;
}

void print_device_row(libusb_device* device, const libusb_device_descriptor& descriptor,
                      int position, bool matched) {
    print_message("(%c)%06d %04x:%04x bcdDevice %04x (address %02d) bus %d,", matched ? '*' : ' ',
                  position, descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice,
                  static_cast<int>(libusb_get_device_address(device)),
                  static_cast<int>(libusb_get_bus_number(device)));
    if (const std::string path = device_place(device).path_text(); !path.empty()) {
        print_message(" path %s", path.c_str());
    }
    print_message("\n");
}

// The one line of a lock that cannot be held; rc::failed.
int refuse_lock(const std::string& path, const char* reason) {
    print_problem("tovrela-update: cannot lock %s: %s; the hub was not touched\n", path.c_str(),
                  reason);
    return rc::failed;
}

// Holds an exclusive lock on the file open at `fd` (closed when it cannot), or refuses it naming
// `path`; `held` is the reason when another process holds it.
int hold_lock(int fd, const std::string& path, const char* held, int& holder) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return refuse_lock(path, error == EWOULDBLOCK ? held : std::strerror(error));
    }
    holder = fd;
    return rc::done;
}

// The lock file named after the hub's bus and port path in $TOVRELA_LOCK_DIR or /run/lock.
int lock_file(libusb_device* device) {
    const char* dir = std::getenv("TOVRELA_LOCK_DIR");
    if (dir == nullptr || *dir == '\0') {
        dir = "/run/lock";
    }
    const std::string path =
        std::string(dir) + "/tovrela-update-" + device_place(device).place() + ".lock";
    if (*dir != '/') {
        return refuse_lock(path, "TOVRELA_LOCK_DIR is not an absolute path");
    }
    // Readable by all, so that every user's tool can take the lock on a file another user made.
    const mode_t mask = umask(0);
    int fd = open(path.c_str(), lock_open_flags | O_CREAT, 0644);
    umask(mask);
    if (fd < 0 && errno == EACCES) {
        // An existing file in a folder this user may not write.
        fd = open(path.c_str(), lock_open_flags);
    }
    if (fd < 0) {
        return refuse_lock(path, std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return refuse_lock(path, "not a regular file");
    }
    return hold_lock(fd, path, "another tovrela-update process holds it", gHubLock);
}

// The hub's device node, the one place every process on the machine shares for this hub, whatever
// its environment: a tool with another lock folder takes its lock here too.
int lock_device_node(libusb_device* device) {
    std::array<char, 32> path{};
    std::snprintf(path.data(), path.size(), "/dev/bus/usb/%03d/%03d",
                  static_cast<int>(libusb_get_bus_number(device)),
                  static_cast<int>(libusb_get_device_address(device)));
    const int fd = open(path.data(), lock_open_flags);
    if (fd < 0) {
        return refuse_lock(path.data(), std::strerror(errno));
    }
    return hold_lock(fd, path.data(), "another process holds it", gNodeLock);
}

} // namespace

void release_device_list() {
    if (gDeviceList != nullptr) {
        libusb_free_device_list(gDeviceList, 1);
        gDeviceList = nullptr;
        gDeviceCount = 0;
    }
}

int find_target_device(TargetDevice* target) {
    *target = TargetDevice{};
    release_device_list();

    gDeviceCount = libusb_get_device_list(nullptr, &gDeviceList);
    if (gDeviceCount < 0) {
        gDeviceList = nullptr;
        print_message("libusb_get_device_list failed %" PRId64 "\n", gDeviceCount);
        return rc::no_device_list;
    }

    print_message("\n");
    print_message("   device vid :pid  bcdDevice      (address)    bus    path\n");
    print_message("%s", rule_line);

    int matches = 0;
    for (int32_t i = 0; i < gDeviceCount; ++i) {
        libusb_device* device = gDeviceList[i];
        if (device == nullptr) {
            print_message("null dev (%d)\n", i);
            break;
        }
        libusb_device_descriptor descriptor{};
        if (const int error = libusb_get_device_descriptor(device, &descriptor); error < 0) {
            print_message("failed to get device descriptor %d\n", error);
            break;
        }

        const bool matched = is_target(device, descriptor, i);
        if (matched) {
            // A later match replaces an earlier one: the last in enumeration order wins.
            target->device = device;
            target->index = static_cast<uint8_t>(i);
            target->bcd_device = descriptor.bcdDevice;
            ++matches;
        }
        print_device_row(device, descriptor, i, matched);
    }

    if (matches > 1) {
        // Standard output keeps its lines; whoever runs the tool still hears of the choice.
        const HubPlace place = device_place(target->device);
        print_problem("Warning: %d devices match; using the last one listed, bus %d path %s; "
                      "choose one with -path= and -exactpath=1\n",
                      matches, place.bus, place.ports.empty() ? "0" : place.path_text().c_str());
    }

    int result = rc::ok;
    if (target->device == nullptr) {
        print_message("   Target_Device_Not_Found.\n");
        result = rc::not_found;
    }
    print_message("%s", rule_line);
    return result;
}

int lock_hub(libusb_device* device) {
    unlock_hub();
    if (lock_file(device) != rc::done || lock_device_node(device) != rc::done) {
        unlock_hub();
        return rc::failed;
    }
    return rc::done;
}

void unlock_hub() {
    for (int* lock : {&gNodeLock, &gHubLock}) {
        if (*lock >= 0) {
            close(*lock);
            *lock = -1;
        }
    }
}
