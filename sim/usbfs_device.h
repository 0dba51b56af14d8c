// The kernel's side of the simulated hub: answers the usbdevfs ioctls that libusb makes on the
// device nodes of the simulated tree, hands every control transfer on the chip's hub to the chip
// model, and keeps a record of the transfers and of the tool's pauses in the order they happened.
#pragma once

#include "chip_model.h"
#include "virtual_clock.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace sim {

// A control transfer as the simulator saw it. `result` is the number of bytes moved or the
// model's negative libusb code.
struct TransferRecord {
    uint64_t clock_us = 0; // virtual time when the transfer was submitted
    bool on_chip = true;   // false: another device, answered with a stall
    std::string devnode;
    chip_model::Transfer transfer; // the setup fields, the bytes moved and the result
};

struct Event {
    enum class Kind { transfer, pause } kind;
    std::size_t transfer = 0;     // index into Device::transfers
    virtual_clock::Pause pause{}; // for a pause
};

struct UrbInFlight {
    UMockdevIoctlData* urb = nullptr; // holds a reference
    int status = 0;
    int actual_length = 0;
};

struct Device {
    chip_model::Chip chip;
    std::string chip_devnode;
    const virtual_clock::Header* clock = nullptr; // null without --fast
    bool keep_records = false;                    // keep transfers and events (for --trace)

    std::vector<TransferRecord> transfers;
    std::vector<Event> events;
    uint64_t pauses_seen = 0;
    uint64_t clock_end_us = 0; // virtual time when the command ended
    uint64_t transfer_count = 0;
    std::vector<std::string> unknown_ioctls;

    std::deque<UrbInFlight> finished; // waiting to be reaped
    std::vector<UrbInFlight> pending; // never finishing until discarded
};

// Connects the ioctl handler to `device`, which must outlive the handler's use.
void connect_handler(UMockdevIoctlBase* handler, Device& device);

// Moves the pauses taken since the last call into the event record.
void collect_pauses(Device& device);

// Drops the URBs still held.
void release_urbs(Device& device);

} // namespace sim
