// The kernel's side of the simulated bed: answers the usbdevfs ioctls that libusb makes on the
// device nodes of the simulated tree, for every process that opened one, hands every control
// transfer on a hub with a chip to that hub's chip model, and keeps a record of the transfers and
// of the command's pauses in the order they happened.
#pragma once

#include "chip_model.h"
#include "sim_options.h"
#include "virtual_clock.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

// umockdev's own struct tags, declared here so that this header needs no GLib headers.
// NOLINTBEGIN(bugprone-reserved-identifier)
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
// NOLINTEND(bugprone-reserved-identifier)

namespace sim {

// A control transfer as the simulator saw it. `result` is the number of bytes moved or the
// model's negative libusb code.
struct TransferRecord {
    enum class Kind {
        chip,     // a request for the hub's chip
        standard, // a standard request the hub answers itself (its string descriptors)
        other,    // a request to another device, answered with a stall
    };
    uint64_t clock_us = 0; // the sending process's time when the transfer was submitted
    Kind kind = Kind::chip;
    uint64_t number = 0; // counts the chip's transfers of its hub, or the hub's standard requests
    std::string devnode;
    chip_model::Transfer transfer; // the setup fields, the bytes moved and the result
};

// A hub with a chip of its own.
struct Hub {
    DevicePlace place;
    std::string devnode;
    std::string name;   // "1-2.4", the prefix of its records when the bed has several hubs
    std::string serial; // its iSerialNumber string; empty: none
    std::string record; // its udev record, for the remove event
    bool gone = false;  // unplugged: every transfer of its clients fails with ENODEV
    chip_model::Chip chip;
    std::vector<TransferRecord> transfers;
    uint64_t transfer_count = 0;
    uint64_t standard_count = 0; // standard requests the hub answered itself
    pid_t last_pid = 0;          // the process that made the last transfer
};

struct Event {
    enum class Kind { transfer, pause, plug, unplug } kind;
    std::size_t hub = 0;      // the hub whose records it belongs to
    std::size_t transfer = 0; // index into Hub::transfers
    uint64_t pause_start_us = 0;
    uint64_t pause_us = 0; // a plug or unplug: the real time since the start
};

struct UrbInFlight {
    UMockdevIoctlData* urb = nullptr; // holds a reference
    int status = 0;
    int actual_length = 0;
};

// One open device node of one process: its URBs are its own.
struct Client {
    std::string devnode;
    int hub = -1;                     // index into Bed::hubs, -1 for another device
    pid_t pid = 0;                    // 0: not known
    int socket = -1;                  // the simulator's end of the connection
    int slot = -1;                    // the process's virtual clock
    std::deque<UrbInFlight> finished; // waiting to be reaped
    std::vector<UrbInFlight> pending; // never finishing until discarded
};

struct Bed {
    // Held by whoever reads or changes the bed while the command runs: the ioctl handler's thread
    // and the thread that plugs and unplugs hubs.
    std::mutex lock;
    std::deque<Hub> hubs;                         // every hub that was ever plugged, in that order
    const virtual_clock::Header* clock = nullptr; // null without --fast: the real clock
    int64_t start_us = 0;                         // the real clock's start
    bool keep_records = false;                    // keep transfers and events (for --trace)
    std::vector<SignalRule> signals;
    pid_t command_pid = 0;

    std::map<UMockdevIoctlClient*, Client> clients;
    std::map<int, pid_t> peer_sockets; // the simulator's connection sockets and their peers
    std::map<pid_t, std::size_t> hub_of_process; // the hub each process spoke to last
    std::vector<Event> events;
    uint64_t pauses_seen = 0;
    uint64_t clock_end_us = 0; // the latest virtual time of any process when the command ended
    std::vector<std::string> unknown_ioctls;
};

// Connects the ioctl handler to `bed`, which must outlive the handler's use.
void connect_handler(UMockdevIoctlBase* handler, Bed& bed);

// Moves the pauses taken since the last call into the event record.
void collect_pauses(Bed& bed);

// A plug or unplug of hub `hub`, in the event record.
void record_plug(Bed& bed, std::size_t hub, bool plugged);

// Drops the clients still known, with the URBs they hold (the caller holds the bed's lock).
void release_urbs(Bed& bed);

} // namespace sim
