#include "usbfs_device.h"

#include "file.h"
#include "usb_tree.h"

#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace sim {

namespace {

// Bus speed as USBDEVFS_GET_SPEED reports it: high speed.
constexpr int usb_speed_high = 3;

struct DataUnref {
    void operator()(UMockdevIoctlData* data) const { umockdev_ioctl_data_unref(data); }
};
// umockdev_ioctl_data_resolve hands out a reference of its own.
using DataRef = std::unique_ptr<UMockdevIoctlData, DataUnref>;

void complete(UMockdevIoctlClient* client, long result, int error_number) {
    umockdev_ioctl_client_complete(client, result, error_number);
}

// The `length` bytes at `offset` of `parent` in the client's memory; when they cannot be read,
// nothing, and the ioctl that `handle` waits on fails with EFAULT.
DataRef resolve(UMockdevIoctlClient* handle, UMockdevIoctlData* parent, std::size_t offset,
                std::size_t length) {
    GError* error = nullptr;
    DataRef data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
    g_clear_error(&error);
    if (!data) {
        complete(handle, -1, EFAULT);
    }
    return data;
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

// The socket path a connection was accepted on: umockdev listens on one path per device node.
std::string socket_path(int fd) {
    sockaddr_un address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        address.sun_family != AF_UNIX) {
        return {};
    }
    return std::string(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path));
}

// The process at the other end of the connection just accepted: among the simulator's sockets
// that no client holds yet, the one accepted on this device node's path (several may be new when
// processes connect at once), and the peer's pid from its credentials.
void identify_peer(ClientTable& table, Client& client) {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return;
    }
    const pid_t self = getpid();
    int fallback = -1;
    pid_t fallback_pid = 0;
    ino_t fallback_inode = 0;
    while (const dirent* entry = readdir(directory)) {
        const int fd = std::atoi(entry->d_name);
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(directory) ||
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
            credentials.pid <= 0 || credentials.pid == self) {
            continue;
        }
        struct stat socket_file {};
        if (fstat(fd, &socket_file) != 0) {
            continue;
        }
        auto known = table.peer_sockets.find(socket_file.st_ino);
        if (known != table.peer_sockets.end() && known->second == credentials.pid) {
            continue;
        }
        const std::string path = socket_path(fd);
        if (path.size() >= client.devnode.size() &&
            path.compare(path.size() - client.devnode.size(), std::string::npos, client.devnode) ==
                0) {
            client.pid = credentials.pid;
            client.socket = fd;
            client.socket_inode = socket_file.st_ino;
            break;
        }
        if (fallback < 0) {
            fallback = fd;
            fallback_pid = credentials.pid;
            fallback_inode = socket_file.st_ino;
        }
    }
    closedir(directory);
    if (client.pid == 0 && fallback >= 0) {
        client.pid = fallback_pid;
        client.socket = fallback;
        client.socket_inode = fallback_inode;
    }
    if (client.pid != 0) {
        table.peer_sockets[client.socket_inode] = client.pid;
    }
}

void on_client_closed(GObject* object, GParamSpec*, gpointer user_data);

// The client of `handle`, new when the bed has none (the caller holds the client table's lock).
// The bed holds a reference on each handle it keeps, until the client's connection closes: a
// handle freed while the bed still knew it could come back at the same address as another
// process's client, which would then inherit the old one's hub, process, clock and URBs.
Client& client_of(Bed& bed, UMockdevIoctlClient* handle) {
    auto found = bed.clients.clients.find(handle);
    if (found != bed.clients.clients.end()) {
        return found->second;
    }
    g_object_ref(handle);
    g_signal_connect(handle, "notify::connected", G_CALLBACK(on_client_closed), &bed);
    Client& client = bed.clients.clients[handle];
    client.devnode = umockdev_ioctl_client_get_devnode(handle);
    for (Hub& hub : bed.hubs) {
        if (hub.devnode == client.devnode) {
            client.hub = &hub; // the latest hub at a node: an earlier one there was unplugged
        }
    }
    client.served_by = client.hub;
    if (client.served_by == nullptr && !bed.hubs.empty()) {
        client.served_by = &bed.hubs[0];
    }
    identify_peer(bed.clients, client);
    return client;
}

// The time of the process that made the transfer; false when it has no clock of its own (then
// the chip does not judge the transfer's timing).
bool time_of(Bed& bed, Client& client, uint64_t& now_us) {
    if (bed.clock == nullptr) {
        now_us = static_cast<uint64_t>(g_get_monotonic_time() - bed.start_us);
        return true;
    }
    if (client.pid == 0) {
        return false;
    }
    if (client.slot < 0 ||
        bed.clock->slots[client.slot].pid.load() != static_cast<int32_t>(client.pid)) {
        client.slot = virtual_clock::find_slot(bed.clock, static_cast<int32_t>(client.pid));
    }
    if (client.slot < 0) {
        return false;
    }
    now_us = bed.clock->slots[client.slot].now_us.load();
    return true;
}

// The setup packet's fields; the length is cut to the room the URB's buffer has after the packet.
void read_setup(const uint8_t* setup, int buffer_length, chip_model::Transfer& t) {
    t.request_type = setup[0];
    t.request = setup[1];
    t.value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    t.index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    t.length = static_cast<uint16_t>(std::min<int>(setup[6] | setup[7] << 8, buffer_length - 8));
}

// Hands the transfer to the hub's chip, on the process's clock when `now_us` is given; another
// device stalls it. An IN reply goes back into the URB's buffer after the setup packet. Returns
// the bytes moved; `t.result` gets the model's result and `data` the bytes of the transfer (for
// an IN transfer only those moved).
int exchange(UMockdevIoctlData* buffer, Hub* hub, const uint64_t* now_us, chip_model::Transfer& t,
             std::vector<uint8_t>& data) {
    const bool in = (t.request_type & 0x80) != 0;
    data.assign(buffer->data + 8, buffer->data + 8 + t.length);
    if (in) {
        std::fill(data.begin(), data.end(), 0);
    }
    if (hub != nullptr && now_us != nullptr) {
        t.result = chip_model::control_transfer_at(hub->chip, *now_us, t.request_type, t.request,
                                                   t.value, t.index, data.data(), t.length);
    } else if (hub != nullptr) {
        t.result = chip_model::control_transfer(hub->chip, t.request_type, t.request, t.value,
                                                t.index, data.data(), t.length);
    } else {
        t.result = chip_model::error_pipe;
    }
    const int moved = std::clamp<int>(t.result, 0, t.length);
    if (in && moved > 0) {
        umockdev_ioctl_data_update(buffer, 8, data.data(), moved);
    }
    if (in) {
        data.resize(static_cast<std::size_t>(moved));
    }
    return moved;
}

// A standard request (type bits 0) is the hub's own business, never the chip's: GET_DESCRIPTOR
// of a string descriptor answers with the hub's strings, anything else stalls.
bool is_standard(const chip_model::Transfer& t) {
    return (t.request_type & 0x60) == 0;
}

int answer_standard(UMockdevIoctlData* buffer, const Hub& hub, chip_model::Transfer& t,
                    std::vector<uint8_t>& data) {
    constexpr uint8_t get_descriptor = 6;
    constexpr uint8_t string_type = 3;
    data.clear();
    t.result = chip_model::error_pipe;
    if (t.request_type == 0x80 && t.request == get_descriptor && t.value >> 8 == string_type) {
        std::vector<uint8_t> descriptor =
            string_descriptor(hub.serial, static_cast<uint8_t>(t.value & 0xff));
        if (!descriptor.empty()) {
            descriptor.resize(std::min<std::size_t>(descriptor.size(), t.length));
            if (!descriptor.empty()) {
                umockdev_ioctl_data_update(buffer, 8, descriptor.data(),
                                           static_cast<gint>(descriptor.size()));
            }
            t.result = static_cast<int>(descriptor.size());
            data = std::move(descriptor);
        }
    }
    return std::max(t.result, 0);
}

// Counts the transfer in the records of the hub that serves the client (another device's in the
// first hub's) and keeps it there when the bed keeps records.
void record_transfer(Bed& bed, const Client& client, TransferRecord record,
                     std::vector<uint8_t> data) {
    Hub* records = client.served_by;
    EventLog& log = bed.log;
    const std::scoped_lock hold(log.lock);
    if (client.pid != 0 && client.hub != nullptr) {
        log.hub_of_process[client.pid] = client.hub->index;
    }
    collect_pauses(log, bed.clock);
    if (records == nullptr) {
        return;
    }
    record.number = record.kind == TransferRecord::Kind::standard ? ++records->standard_count
                                                                  : ++records->transfer_count;
    if (log.keep) {
        record.transfer.data = std::move(data);
        log.events.push_back({Event::Kind::transfer, records->index, records->transfers.size()});
        records->transfers.push_back(std::move(record));
    }
}

// The parent of process `pid` (from /proc/PID/stat, whose fourth field it is, after the name in
// parentheses), or 0.
pid_t parent_of(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    File file(std::fopen(path.c_str(), "re"));
    std::array<char, 512> text{};
    const std::size_t length = file ? std::fread(text.data(), 1, text.size() - 1, file.get()) : 0;
    const char* name_end = std::strrchr(text.data(), ')');
    int parent = 0;
    if (length == 0 || name_end == nullptr || std::sscanf(name_end + 1, " %*c %d", &parent) != 1) {
        return 0;
    }
    return parent;
}

gboolean send_later(gpointer data) {
    const auto* later = static_cast<const LaterSignal*>(data);
    kill(later->target, later->signal);
    return G_SOURCE_REMOVE;
}

// The --signal and --signal-parent rules that the request just taken on the hub fulfils: each
// strikes once.
void send_due_signals(Bed& bed, const Client& client, const Hub* hub, uint8_t request) {
    const std::scoped_lock hold(bed.log.lock);
    for (SignalRule& rule : bed.log.signals) {
        if (hub == nullptr || rule.sent || request != rule.request ||
            !rule.target.matches(hub->place) ||
            hub->chip.faults.request_counts[request] != rule.nth) {
            continue;
        }
        rule.sent = true;
        const pid_t maker = client.pid != 0 ? client.pid : bed.command_pid.load();
        const pid_t target = rule.to_parent ? parent_of(maker) : maker;
        if (target <= 1) {
            continue;
        }
        if (rule.delay_ms == 0) {
            kill(target, rule.signal);
        } else {
            // On the main loop's thread, which runs until the command ends; the record stays
            // with the bed (a deque keeps its place), sent or not.
            bed.log.later_signals.push_back({target, rule.signal});
            g_timeout_add(rule.delay_ms, send_later, &bed.log.later_signals.back());
        }
    }
}

// What the hub answers without its chip: every transfer once it is unplugged (the submit fails,
// as the kernel's does), and the standard requests. True when it answered.
bool answered_by_hub(Bed& bed, Client& client, Hub& hub, UMockdevIoctlClient* handle,
                     DataRef& urb_data, UMockdevIoctlData& buffer, TransferRecord& record) {
    if (hub.gone) {
        record.transfer.result = chip_model::error_no_device;
        record_transfer(bed, client, std::move(record), {});
        complete(handle, -1, ENODEV);
        return true;
    }
    if (!is_standard(record.transfer)) {
        return false;
    }
    std::vector<uint8_t> data;
    record.kind = TransferRecord::Kind::standard;
    const int moved = answer_standard(&buffer, hub, record.transfer, data);
    const int result = record.transfer.result;
    record_transfer(bed, client, std::move(record), std::move(data));
    client.finished.push_back({urb_data.release(), urb_status(result), moved});
    complete(handle, 0, 0);
    return true;
}

void submit_urb(Bed& bed, Client& client, UMockdevIoctlClient* handle, UMockdevIoctlData* arg) {
    DataRef urb_data = resolve(handle, arg, 0, sizeof(usbdevfs_urb));
    if (!urb_data) {
        return;
    }
    const auto* urb = reinterpret_cast<const usbdevfs_urb*>(urb_data->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        complete(handle, -1, EINVAL);
        return;
    }
    DataRef buffer = resolve(handle, urb_data.get(), offsetof(usbdevfs_urb, buffer),
                             static_cast<std::size_t>(urb->buffer_length));
    if (!buffer) {
        return;
    }
    TransferRecord record;
    record.devnode = client.devnode;
    record.kind = client.hub != nullptr ? TransferRecord::Kind::chip : TransferRecord::Kind::other;
    uint64_t now_us = 0;
    const bool timed = time_of(bed, client, now_us);
    record.clock_us = now_us;
    read_setup(buffer->data, urb->buffer_length, record.transfer);

    Hub* hub = client.hub;
    if (hub != nullptr && answered_by_hub(bed, client, *hub, handle, urb_data, *buffer, record)) {
        return;
    }
    if (hub != nullptr && bed.clock != nullptr && client.pid != hub->last_pid) {
        // Each process has a virtual clock of its own, which starts at zero: the pauses are
        // judged on one process's clock at a time.
        chip_model::restart_clock(hub->chip);
        hub->last_pid = client.pid;
    }
    std::vector<uint8_t> data;
    const int moved = exchange(buffer.get(), hub, timed ? &now_us : nullptr, record.transfer, data);
    const int result = record.transfer.result;
    const uint8_t request = record.transfer.request;
    record_transfer(bed, client, std::move(record), std::move(data));
    send_due_signals(bed, client, hub, request);

    if (result == chip_model::error_no_device) {
        complete(handle, -1, ENODEV);
        return;
    }
    UrbInFlight flight{urb_data.release(), urb_status(result), moved};
    if (result == chip_model::error_timeout) {
        client.pending.push_back(flight); // finishes only when libusb discards it
    } else {
        client.finished.push_back(flight);
    }
    complete(handle, 0, 0);
}

void reap_urb(Client& client, UMockdevIoctlClient* handle, UMockdevIoctlData* arg) {
    if (client.finished.empty()) {
        complete(handle, -1, EAGAIN);
        return;
    }
    DataRef pointer = resolve(handle, arg, 0, sizeof(void*));
    if (!pointer) {
        return;
    }
    UrbInFlight flight = client.finished.front();
    client.finished.pop_front();
    write_field<int>(flight.urb, offsetof(usbdevfs_urb, status), flight.status);
    write_field<int>(flight.urb, offsetof(usbdevfs_urb, actual_length), flight.actual_length);
    umockdev_ioctl_data_set_ptr(pointer.get(), 0, flight.urb);
    umockdev_ioctl_data_unref(flight.urb);
    complete(handle, 0, 0);
}

void discard_urb(Client& client, UMockdevIoctlClient* handle, UMockdevIoctlData* arg) {
    auto address = *reinterpret_cast<const gulong*>(arg->data);
    auto found =
        std::find_if(client.pending.begin(), client.pending.end(),
                     [&](const UrbInFlight& flight) { return flight.urb->client_addr == address; });
    if (found == client.pending.end()) {
        complete(handle, -1, EINVAL);
        return;
    }
    UrbInFlight flight = *found;
    client.pending.erase(found);
    flight.status = -ENOENT;
    flight.actual_length = 0;
    client.finished.push_back(flight);
    complete(handle, 0, 0);
}

// Answers the ioctl that `handle` waits on, for `client`: on the thread of the hub that serves
// the client.
void serve(Bed& bed, Client& client, UMockdevIoctlClient* handle) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(handle);
    gulong request = umockdev_ioctl_client_get_request(handle);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        DataRef caps = resolve(handle, arg, 0, sizeof(uint32_t));
        if (!caps) {
            return;
        }
        write_field<uint32_t>(caps.get(), 0,
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                  USBDEVFS_CAP_ZERO_PACKET);
        complete(handle, 0, 0);
        return;
    }
    case USBDEVFS_SUBMITURB:
        submit_urb(bed, client, handle, arg);
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap_urb(client, handle, arg);
        return;
    case USBDEVFS_DISCARDURB:
        discard_urb(client, handle, arg);
        return;
    case USBDEVFS_GET_SPEED:
        complete(handle, usb_speed_high, 0);
        return;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        complete(handle, 0, 0);
        return;
    case USBDEVFS_GETDRIVER:
        complete(handle, -1, ENODATA); // no kernel driver bound
        return;
    default: {
        char text[32];
        g_snprintf(text, sizeof text, "0x%08lx", request);
        const std::scoped_lock hold(bed.log.lock);
        if (std::find(bed.log.unknown_ioctls.begin(), bed.log.unknown_ioctls.end(), text) ==
            bed.log.unknown_ioctls.end()) {
            bed.log.unknown_ioctls.emplace_back(text);
        }
        complete(handle, -1, ENOTTY);
        return;
    }
    }
}

void release(std::deque<UrbInFlight>& finished, std::vector<UrbInFlight>& pending) {
    for (auto& flight : finished) {
        umockdev_ioctl_data_unref(flight.urb);
    }
    for (auto& flight : pending) {
        umockdev_ioctl_data_unref(flight.urb);
    }
    finished.clear();
    pending.clear();
}

// Finds or makes the client of `handle` and hands its ioctl to the thread of the hub that serves
// it. A client's ioctls come one at a time (its process waits for each), so its hub's thread sees
// them in their order, and a hub's transfers reach its chip in the order they came.
// It is queued under the client table's lock, so that nothing is queued once the bed is closed
// and its threads stop.
gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer user_data) {
    auto& bed = *static_cast<Bed*>(user_data);
    Client* client = nullptr;
    {
        const std::scoped_lock hold(bed.hubs_lock, bed.clients.lock);
        if (bed.clients.closed) {
            complete(handle, -1, ENODEV);
            return TRUE;
        }
        client = &client_of(bed, handle);
        if (client->served_by != nullptr) {
            g_object_ref(handle);
            if (client->served_by->thread.post([&bed, client, handle] {
                    serve(bed, *client, handle);
                    g_object_unref(handle);
                })) {
                return TRUE;
            }
            g_object_unref(handle);
        }
    }
    serve(bed, *client, handle); // a bed without hubs: another device, answered here
    return TRUE;
}

void on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer user_data) {
    auto& bed = *static_cast<Bed*>(user_data);
    const std::scoped_lock hold(bed.hubs_lock, bed.clients.lock);
    if (!bed.clients.closed) {
        client_of(bed, handle);
    }
}

// Drops the client of `handle`: its URBs go, its socket may be reused, and the bed's reference on
// the handle is given back (the caller holds the client table's lock).
void forget_client(Bed& bed, UMockdevIoctlClient* handle) {
    auto& clients = bed.clients.clients;
    auto found = clients.find(handle);
    if (found == clients.end()) {
        return;
    }
    release(found->second.finished, found->second.pending);
    // Its socket may have been closed and its inode taken by a new connection before the client
    // is forgotten here, on its hub's thread: a claim of another process stays.
    auto peer = bed.clients.peer_sockets.find(found->second.socket_inode);
    if (peer != bed.clients.peer_sockets.end() && peer->second == found->second.pid) {
        bed.clients.peer_sockets.erase(peer);
    }
    clients.erase(found);
    g_signal_handlers_disconnect_by_data(handle, &bed);
    g_object_unref(handle);
}

// Forgets the client on the thread that serves it, after the ioctls it handed there.
void forget_in_turn(Bed& bed, UMockdevIoctlClient* handle) {
    Hub* thread_of = nullptr;
    {
        const std::scoped_lock hold(bed.clients.lock);
        auto found = bed.clients.clients.find(handle);
        if (found == bed.clients.clients.end()) {
            return;
        }
        thread_of = found->second.served_by;
    }
    auto forget = [&bed, handle] {
        const std::scoped_lock hold(bed.clients.lock);
        forget_client(bed, handle);
    };
    if (thread_of == nullptr || !thread_of->thread.post(forget)) {
        forget(); // no thread serves it any more
    }
}

// A process closed its device node (or ended). umockdev 0.17 tells this only through the client's
// "connected" property; its "client-vanished" signal is declared but never sent.
void on_client_closed(GObject* object, GParamSpec*, gpointer user_data) {
    auto* handle = reinterpret_cast<UMockdevIoctlClient*>(object);
    if (!umockdev_ioctl_client_get_connected(handle)) {
        forget_in_turn(*static_cast<Bed*>(user_data), handle);
    }
}

void on_client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer user_data) {
    forget_in_turn(*static_cast<Bed*>(user_data), handle);
}

} // namespace

void connect_handler(UMockdevIoctlBase* handler, Bed& bed) {
    bed.start_us = g_get_monotonic_time();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handle_ioctl), &bed);
    g_signal_connect(handler, "client-connected", G_CALLBACK(on_client_connected), &bed);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(on_client_vanished), &bed);
}

void close_clients(Bed& bed) {
    {
        const std::scoped_lock hold(bed.clients.lock);
        bed.clients.closed = true;
    }
    std::vector<Hub*> hubs;
    {
        const std::scoped_lock hold(bed.hubs_lock);
        for (Hub& hub : bed.hubs) {
            hubs.push_back(&hub);
        }
    }
    for (Hub* hub : hubs) {
        hub->thread.stop();
    }
    const std::scoped_lock hold(bed.clients.lock);
    while (!bed.clients.clients.empty()) {
        forget_client(bed, bed.clients.clients.begin()->first);
    }
}

} // namespace sim
