#include "usbfs_device.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <memory>

namespace sim {

namespace {

// Bus speed as USBDEVFS_GET_SPEED reports it: high speed.
constexpr int usb_speed_high = 3;

struct DataUnref {
    void operator()(UMockdevIoctlData* data) const { umockdev_ioctl_data_unref(data); }
};
// umockdev_ioctl_data_resolve hands out a reference of its own.
using DataRef = std::unique_ptr<UMockdevIoctlData, DataUnref>;

DataRef resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    DataRef data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
    g_clear_error(&error);
    return data;
}

void complete(UMockdevIoctlClient* client, long result, int error_number) {
    umockdev_ioctl_client_complete(client, result, error_number);
}

template <typename T> void write_field(UMockdevIoctlData* data, std::size_t offset, T value) {
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8*>(&value),
                               static_cast<gint>(sizeof value));
}

// Maps the model's result to the URB's completion, as the kernel would report it.
int urb_status(int result) {
    if (result >= 0) {
        return 0;
    }
    if (result == chip_model::error_pipe) {
        return -EPIPE;
    }
    return -EPROTO; // libusb reports it as an I/O error
}

void submit_urb(Device& device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef urb_data = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb_data) {
        complete(client, -1, EFAULT);
        return;
    }
    const auto* urb = reinterpret_cast<const usbdevfs_urb*>(urb_data->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        complete(client, -1, EINVAL);
        return;
    }
    DataRef buffer = resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer),
                             static_cast<std::size_t>(urb->buffer_length));
    if (!buffer) {
        complete(client, -1, EFAULT);
        return;
    }
    const uint8_t* setup = buffer->data;
    TransferRecord record;
    record.devnode = umockdev_ioctl_client_get_devnode(client);
    record.on_chip = record.devnode == device.chip_devnode;
    record.clock_us = device.clock != nullptr ? device.clock->now_us.load() : 0;
    chip_model::Transfer& t = record.transfer;
    t.request_type = setup[0];
    t.request = setup[1];
    t.value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    t.index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    t.length =
        static_cast<uint16_t>(std::min<int>(setup[6] | setup[7] << 8, urb->buffer_length - 8));

    bool in = (t.request_type & 0x80) != 0;
    std::vector<uint8_t> data(buffer->data + 8, buffer->data + 8 + t.length);
    if (in) {
        std::fill(data.begin(), data.end(), 0);
    }
    if (record.on_chip) {
        t.result = chip_model::control_transfer(device.chip, t.request_type, t.request, t.value,
                                                t.index, data.data(), t.length);
    } else {
        t.result = chip_model::error_pipe;
    }
    int moved = std::clamp<int>(t.result, 0, t.length);
    if (in && moved > 0) {
        umockdev_ioctl_data_update(buffer.get(), 8, data.data(), moved);
    }
    if (in) {
        data.resize(static_cast<std::size_t>(moved));
    }

    int result = t.result;
    collect_pauses(device);
    ++device.transfer_count;
    if (device.keep_records) {
        t.data = std::move(data);
        device.events.push_back({Event::Kind::transfer, device.transfers.size(), {}});
        device.transfers.push_back(std::move(record));
    }

    if (result == chip_model::error_no_device) {
        complete(client, -1, ENODEV);
        return;
    }
    UrbInFlight flight{urb_data.release(), urb_status(result), moved};
    if (result == chip_model::error_timeout) {
        device.pending.push_back(flight); // finishes only when libusb discards it
    } else {
        device.finished.push_back(flight);
    }
    complete(client, 0, 0);
}

void reap_urb(Device& device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (device.finished.empty()) {
        complete(client, -1, EAGAIN);
        return;
    }
    DataRef pointer = resolve(arg, 0, sizeof(void*));
    if (!pointer) {
        complete(client, -1, EFAULT);
        return;
    }
    UrbInFlight flight = device.finished.front();
    device.finished.pop_front();
    write_field<int>(flight.urb, offsetof(usbdevfs_urb, status), flight.status);
    write_field<int>(flight.urb, offsetof(usbdevfs_urb, actual_length), flight.actual_length);
    umockdev_ioctl_data_set_ptr(pointer.get(), 0, flight.urb);
    umockdev_ioctl_data_unref(flight.urb);
    complete(client, 0, 0);
}

void discard_urb(Device& device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto address = *reinterpret_cast<const gulong*>(arg->data);
    auto found =
        std::find_if(device.pending.begin(), device.pending.end(),
                     [&](const UrbInFlight& flight) { return flight.urb->client_addr == address; });
    if (found == device.pending.end()) {
        complete(client, -1, EINVAL);
        return;
    }
    UrbInFlight flight = *found;
    device.pending.erase(found);
    flight.status = -ENOENT;
    flight.actual_length = 0;
    device.finished.push_back(flight);
    complete(client, 0, 0);
}

gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user_data) {
    auto& device = *static_cast<Device*>(user_data);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        DataRef caps = resolve(arg, 0, sizeof(uint32_t));
        if (!caps) {
            complete(client, -1, EFAULT);
            return TRUE;
        }
        write_field<uint32_t>(caps.get(), 0,
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                  USBDEVFS_CAP_ZERO_PACKET);
        complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_SUBMITURB:
        submit_urb(device, client, arg);
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap_urb(device, client, arg);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        discard_urb(device, client, arg);
        return TRUE;
    case USBDEVFS_GET_SPEED:
        complete(client, usb_speed_high, 0);
        return TRUE;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
        complete(client, -1, ENODATA); // no kernel driver bound
        return TRUE;
    default: {
        char text[32];
        g_snprintf(text, sizeof text, "0x%08lx", request);
        if (std::find(device.unknown_ioctls.begin(), device.unknown_ioctls.end(), text) ==
            device.unknown_ioctls.end()) {
            device.unknown_ioctls.emplace_back(text);
        }
        complete(client, -1, ENOTTY);
        return TRUE;
    }
    }
}

} // namespace

void connect_handler(UMockdevIoctlBase* handler, Device& device) {
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handle_ioctl), &device);
}

void collect_pauses(Device& device) {
    if (device.clock == nullptr) {
        return;
    }
    uint64_t count = device.clock->count.load();
    uint64_t kept = std::min<uint64_t>(count, device.clock->capacity);
    if (device.keep_records) {
        for (uint64_t i = device.pauses_seen; i < kept; ++i) {
            device.events.push_back(
                {Event::Kind::pause, 0, virtual_clock::records(device.clock)[i]});
        }
    }
    device.pauses_seen = count;
}

void release_urbs(Device& device) {
    for (auto& flight : device.finished) {
        umockdev_ioctl_data_unref(flight.urb);
    }
    for (auto& flight : device.pending) {
        umockdev_ioctl_data_unref(flight.urb);
    }
    device.finished.clear();
    device.pending.clear();
}

} // namespace sim
