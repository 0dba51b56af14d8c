// A small libusb program for the end-to-end tests of the virtual hub, run under tovrela-sim.
//
//   usb_watch serials       every device as "BUS-PATH VID:PID SERIAL" ("-" for none), with the
//                           serial number read through libusb_get_string_descriptor_ascii
//   usb_watch events N      one libusb context for the whole run: a line for each hot-plug event
//                           of a hub with a chip (1234:5678) its callback gets ("event arrived
//                           BUS-PATH", "event left BUS-PATH"; the hubs there at the start arrive
//                           first), after each the hubs its device list holds ("hubs: ..."),
//                           until N events came; gives up (exit status 1) after 60 s without one
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

namespace {

std::string place_of(libusb_device* device) {
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string text = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i) {
        text += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    }
    return count > 0 ? text : text + "0";
}

int print_serials(libusb_context* context) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(list[i], &descriptor);
        std::string serial = "-";
        libusb_device_handle* handle = nullptr;
        if (descriptor.iSerialNumber != 0 && libusb_open(list[i], &handle) == 0) {
            unsigned char text[256];
            const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                                  text, sizeof text);
            serial = length >= 0 ? std::string(reinterpret_cast<char*>(text),
                                               static_cast<std::size_t>(length))
                                 : "error " + std::to_string(length);
            libusb_close(handle);
        }
        std::printf("%s %04x:%04x %s\n", place_of(list[i]).c_str(), descriptor.idVendor,
                    descriptor.idProduct, serial.c_str());
    }
    libusb_free_device_list(list, 1);
    return count >= 0 ? 0 : 1;
}

void print_hubs(libusb_context* context) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::set<std::string> hubs;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(list[i], &descriptor);
        if (descriptor.idVendor == 0x1234 && descriptor.idProduct == 0x5678) {
            hubs.insert(place_of(list[i]));
        }
    }
    libusb_free_device_list(list, 1);
    std::string line = "hubs:";
    for (const auto& hub : hubs) {
        line += " " + hub;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int events_seen = 0;

int on_event(libusb_context*, libusb_device* device, libusb_hotplug_event event, void*) {
    std::printf("event %s %s\n", event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? "arrived" : "left",
                place_of(device).c_str());
    ++events_seen;
    return 0;
}

int watch_events(libusb_context* context, int wanted) {
    libusb_hotplug_callback_handle callback = 0;
    if (libusb_hotplug_register_callback(
            context,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, 0x1234, 0x5678, LIBUSB_HOTPLUG_MATCH_ANY, on_event, nullptr,
            &callback) != LIBUSB_SUCCESS) {
        std::printf("no hot-plug\n");
        return 1;
    }
    time_t last = time(nullptr);
    while (events_seen < wanted && time(nullptr) - last < 60) {
        const int before = events_seen;
        timeval step{0, 100000};
        libusb_handle_events_timeout_completed(context, &step, nullptr);
        if (events_seen != before) {
            print_hubs(context);
            last = time(nullptr);
        }
    }
    return events_seen >= wanted ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    libusb_context* context = nullptr;
    if (argc < 2 || libusb_init(&context) != 0) {
        std::fprintf(stderr, "usage: usb_watch serials | events N\n");
        return 2;
    }
    const int status = std::strcmp(argv[1], "serials") == 0 ? print_serials(context)
                       : argc > 2 ? watch_events(context, std::atoi(argv[2]))
                                  : 2;
    libusb_exit(context);
    return status;
}
