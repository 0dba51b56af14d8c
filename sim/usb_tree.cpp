#include "usb_tree.h"

#include "hex_dump.h"
#include "port_path.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <map>
#include <utility>

namespace sim {

namespace {

// Ids of the devices the simulator adds on its own: placeholders.
constexpr uint16_t root_hub_vid = 0x1d6b; // the ids Linux gives its root hubs
constexpr uint16_t root_hub_pid = 0x0002;
constexpr uint16_t generic_vid = 0x1111;
constexpr uint16_t generic_hub_pid = 0x0001;
constexpr uint16_t generic_device_pid = 0x0002;

// A value as the device record writes it: backslash, and any byte that is not printable, as a
// C escape (three octal digits), which the record's reader turns back into the byte.
std::string record_escaped(const std::string& value) {
    std::string text;
    for (const char c : value) {
        // Whether char is signed or not, a byte from 0x80 up is no printable character.
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += c;
        } else {
            std::array<char, 5> octal{};
            std::snprintf(octal.data(), octal.size(), "\\%03o", static_cast<unsigned char>(c));
            text += octal.data();
        }
    }
    return text;
}

// The string descriptors of a hub with a serial number.
constexpr uint8_t serial_index = 3;
constexpr uint8_t string_descriptor_type = 3;
constexpr uint16_t us_english = 0x0409;

using Place = std::pair<unsigned, std::vector<uint8_t>>;

// Device descriptor, then one configuration with one interface and one interrupt endpoint.
std::vector<uint8_t> descriptors(const UsbDevice& device) {
    uint8_t device_class = device.hub ? 0x09 : 0x00;
    uint8_t interface_class = device.hub ? 0x09 : 0xff;
    auto low = [](uint16_t value) { return static_cast<uint8_t>(value & 0xff); };
    auto high = [](uint16_t value) { return static_cast<uint8_t>(value >> 8); };
    return {// device: bcdUSB 2.00, max packet 64, one configuration
            0x12, 0x01, 0x00, 0x02, device_class, 0x00, 0x01, 0x40, low(device.place.vid),
            high(device.place.vid), low(device.place.pid), high(device.place.pid),
            low(device.bcd_device), high(device.bcd_device), 0x00, 0x00,
            device.place.serial.empty() ? uint8_t{0} : serial_index, 0x01,
            // configuration: total length 25, one interface, self powered
            0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xe0, 0x00,
            // interface 0 with one endpoint
            0x09, 0x04, 0x00, 0x00, 0x01, interface_class, 0x00, 0x00, 0x00,
            // endpoint 0x81, interrupt, 1 byte, interval 12
            0x07, 0x05, 0x81, 0x03, 0x01, 0x00, 0x0c};
}

std::string three_digits(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", value);
    return text;
}

} // namespace

void describe(UsbDevice& device) {
    const auto& place = device.place;
    std::string bus = std::to_string(place.bus);
    device.sysname = place.ports.empty() ? "usb" + bus : bus + "-" + port_path_text(place.ports);
    device.syspath = "/devices/pci0000:00/0000:00:14.0/usb" + bus;
    for (std::ptrdiff_t depth = 1; depth <= std::ssize(place.ports); ++depth) {
        std::vector<uint8_t> prefix(place.ports.begin(), place.ports.begin() + depth);
        device.syspath += "/" + bus + "-" + port_path_text(prefix);
    }
    std::string node = "bus/usb/" + three_digits(place.bus) + "/" + three_digits(device.devnum);
    device.devnode = "/dev/" + node;
    device.record =
        "P: " + device.syspath + "\n" + "N: " + node + "\n" +
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\n"
        "E: BUSNUM=" +
        three_digits(place.bus) + "\n" + "E: DEVNUM=" + three_digits(device.devnum) + "\n" +
        "E: DEVNAME=" + device.devnode + "\n" + "A: busnum=" + bus + "\\n\n" +
        "A: devnum=" + std::to_string(device.devnum) + "\\n\n" +
        "A: speed=480\\n\n"
        "A: bConfigurationValue=1\\n\n" +
        (place.serial.empty() ? "" : "A: serial=" + record_escaped(place.serial) + "\\n\n") +
        "H: descriptors=" + hex_dump(descriptors(device)) + "\n";
}

namespace {

using Tree = std::map<Place, UsbDevice>;

// The devices the options name: the hubs with a chip first, then the extras. False, with the
// reason in `error`, when two would stand at one place.
bool add_explicit_devices(Tree& tree, const Options& options, std::string& error) {
    auto add = [&](const DevicePlace& place, int chip_hub) {
        UsbDevice device;
        device.place = place;
        device.chip = chip_hub >= 0 || chip_hub == plugged_later;
        device.chip_hub = chip_hub;
        device.bcd_device = 0x0100;
        if (!tree.emplace(Place{place.bus, place.ports}, device).second) {
            error = "two devices at bus " + std::to_string(place.bus) + " path " +
                    (place.ports.empty() ? "0" : port_path_text(place.ports));
            return false;
        }
        return true;
    };
    if (!add(options.hub, 0)) {
        return false;
    }
    for (std::size_t i = 0; i < options.more_hubs.size(); ++i) {
        if (!add(options.more_hubs[i], static_cast<int>(i + 1))) {
            return false;
        }
    }
    for (const auto& extra : options.extra_devices) {
        if (!add(extra, -1)) {
            return false;
        }
    }
    // A hub plugged in later stands here until the tree is built, so that the hubs on its way are.
    for (const auto& plug : options.plugs) {
        Place place{plug.place.bus, plug.place.ports};
        if (plug.plug && !tree.contains(place) && !add(plug.place, plugged_later)) {
            return false;
        }
    }
    return true;
}

// Generated devices fill the places no explicit device takes: a plain device on bus 2, the root
// hubs of buses 1 and 2 and of every bus in use, and every hub on the way up.
void add_generated_devices(Tree& tree) {
    auto add = [&](unsigned bus, std::vector<uint8_t> ports, uint16_t vid, uint16_t pid) {
        UsbDevice device;
        device.place = {bus, ports, vid, pid, {}};
        device.bcd_device = ports.empty() ? 0x0601 : 0x0100;
        tree.emplace(Place{bus, std::move(ports)}, device);
    };
    add(2, {1}, generic_vid, generic_device_pid);
    std::vector<Place> places;
    places.reserve(tree.size());
    for (const auto& [place, device] : tree) {
        places.push_back(place);
    }
    add(1, {}, root_hub_vid, root_hub_pid);
    add(2, {}, root_hub_vid, root_hub_pid);
    for (const auto& [bus, ports] : places) {
        add(bus, {}, root_hub_vid, root_hub_pid);
        for (std::ptrdiff_t depth = 1; depth < std::ssize(ports); ++depth) {
            add(bus, {ports.begin(), ports.begin() + depth}, generic_vid, generic_hub_pid);
        }
    }
}

// A device is a hub when it is a root hub or has a device behind it.
void mark_hubs(Tree& tree) {
    for (auto& [place, device] : tree) {
        device.hub = place.second.empty();
    }
    for (const auto& [place, device] : tree) {
        if (!place.second.empty()) {
            std::vector<uint8_t> parent(place.second.begin(), place.second.end() - 1);
            tree.at(Place{place.first, parent}).hub = true;
        }
    }
}

} // namespace

std::vector<uint8_t> string_descriptor(const std::string& serial, uint8_t index) {
    if (serial.empty()) {
        return {};
    }
    if (index == 0) {
        return {4, string_descriptor_type, us_english & 0xff, us_english >> 8};
    }
    if (index != serial_index) {
        return {};
    }
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * serial.size()), string_descriptor_type};
    for (char c : serial) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

int build_usb_tree(const Options& options, std::vector<UsbDevice>& devices, std::string& error) {
    devices.clear();
    if (options.no_devices) {
        return 1;
    }
    Tree tree;
    if (!add_explicit_devices(tree, options, error)) {
        return 0;
    }
    add_generated_devices(tree);
    mark_hubs(tree);

    // Addresses per bus in the map's order, which puts every parent before its children.
    std::map<unsigned, unsigned> next_address;
    devices.reserve(tree.size());
    for (auto& [place, device] : tree) {
        if (device.chip_hub != plugged_later) {
            device.devnum = ++next_address[place.first];
            describe(device);
            devices.push_back(device);
        }
    }
    return 1;
}

} // namespace sim
