#include "usb_listing.h"

#include "line_options.h"

#include <algorithm>
#include <array>
#include <libusb.h>
#include <memory>

namespace line {

namespace {

// A libusb context of its own, for one listing.
class UsbContext {
  public:
    UsbContext() : error_(libusb_init(&context_)) {}
    ~UsbContext() {
        if (error_ == 0) {
            libusb_exit(context_);
        }
    }
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;
    [[nodiscard]] int error() const { return error_; }
    [[nodiscard]] libusb_context* get() const { return context_; }

  private:
    libusb_context* context_ = nullptr;
    int error_;
};

struct DeviceListFree {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListFree>;

struct HandleClose {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using DeviceHandle = std::unique_ptr<libusb_device_handle, HandleClose>;

std::optional<std::string> read_serial_number(libusb_device* device, uint8_t index) {
    libusb_device_handle* raw = nullptr;
    if (index == 0 || libusb_open(device, &raw) != 0) {
        return std::nullopt;
    }
    const DeviceHandle handle(raw);
    std::array<unsigned char, 256> text{};
    const int length = libusb_get_string_descriptor_ascii(handle.get(), index, text.data(),
                                                          static_cast<int>(text.size()));
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(text.data()),
                       static_cast<std::size_t>(length));
}

std::optional<HubInfo> matching_hub(libusb_device* device, const HubFilter& filter) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
        descriptor.idVendor != filter.vid || descriptor.idProduct != filter.pid) {
        return std::nullopt;
    }
    HubInfo hub;
    static_cast<HubPlace&>(hub) = device_place(device);
    if ((filter.bus && *filter.bus != hub.bus) ||
        !starts_with_ports(hub.ports, filter.path_prefix)) {
        return std::nullopt;
    }
    hub.address = libusb_get_device_address(device);
    hub.vid = descriptor.idVendor;
    hub.pid = descriptor.idProduct;
    hub.bcd_device = descriptor.bcdDevice;
    hub.serial_index = descriptor.iSerialNumber;
    return hub;
}

} // namespace

bool starts_with_ports(const std::vector<uint8_t>& ports, const std::vector<uint8_t>& prefix) {
    return ports.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), ports.begin());
}

Listing list_hubs(const HubFilter& filter, const std::function<bool(const HubInfo&)>& read_serial) {
    Listing listing;
    const UsbContext context;
    if (context.error() != 0) {
        listing.error = context.error();
        return listing;
    }
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(context.get(), &raw);
    if (count < 0) {
        listing.error = static_cast<int>(count);
        return listing;
    }
    const DeviceList devices(raw);
    for (ssize_t i = 0; i < count; ++i) {
        auto hub = matching_hub(raw[i], filter);
        if (!hub) {
            continue;
        }
        if (read_serial && read_serial(*hub)) {
            hub->serial = read_serial_number(raw[i], hub->serial_index);
        }
        listing.hubs.push_back(std::move(*hub));
    }
    std::sort(listing.hubs.begin(), listing.hubs.end(), [](const HubInfo& a, const HubInfo& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return listing;
}

} // namespace line
