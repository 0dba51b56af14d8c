// The simulated bed while its command runs: the hubs with their chips, each served on a thread of
// its own; the clients, one for each device node a process opened; and the event log, which keeps
// the transfers and the command's pauses in the order they happened.
//
// Threads and what they touch:
// - umockdev's worker thread reads every ioctl, finds its client (the client table's lock) and
//   hands it to the thread of the client's hub;
// - each hub's thread answers its clients' ioctls in the order they came: its hub's chip and
//   records and its clients' URBs are its own; it writes to the event log under the log's lock;
// - the simulator's main thread plugs and unplugs hubs (the hub list's lock) and, once the command
//   has ended and every hub thread has stopped, writes the records.
// Locks are taken in the order hub list, client table, event log, and never the other way.
#pragma once

#include "chip_model.h"
#include "sim_options.h"
#include "virtual_clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// umockdev's own struct tags, declared here so that this header needs no GLib headers.
// NOLINTBEGIN(bugprone-reserved-identifier)
typedef struct _UMockdevIoctlData UMockdevIoctlData;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
// NOLINTEND(bugprone-reserved-identifier)

namespace sim {

// Runs the work handed to it on a thread of its own, one piece at a time, in the order it came.
class WorkThread {
  public:
    WorkThread() = default;
    WorkThread(const WorkThread&) = delete;
    WorkThread& operator=(const WorkThread&) = delete;
    ~WorkThread() { stop(); }

    void start();
    // Queues `work`; false, with nothing queued, when the thread is not running.
    bool post(std::function<void()> work);
    // Runs what is queued, then ends the thread.
    void stop();

  private:
    void run();

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool running = false;
    bool stopping = false;
    std::thread thread;
};

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

// A hub with a chip of its own. Its place, names and record are set before its thread starts and
// never change; its chip and records belong to its thread until the thread has stopped.
struct Hub {
    std::size_t index = 0; // its place in Bed::hubs
    DevicePlace place;
    std::string devnode;
    std::string name;   // "1-2.4", the prefix of its records when the bed has several hubs
    std::string serial; // its iSerialNumber string; empty: none
    std::string record; // its udev record, for the remove event
    std::atomic<bool> gone = false; // unplugged: every transfer of its clients fails with ENODEV
    chip_model::Chip chip;
    std::vector<TransferRecord> transfers;
    uint64_t transfer_count = 0;
    uint64_t standard_count = 0; // standard requests the hub answered itself
    pid_t last_pid = 0;          // the process that made the last transfer
    WorkThread thread;           // answers the ioctls of its clients
};

struct UrbInFlight {
    UMockdevIoctlData* urb = nullptr; // holds a reference
    int status = 0;
    int actual_length = 0;
};

// One open device node of one process: its URBs are its own. Found and made under the client
// table's lock; after that only the thread that serves it touches its URBs and clock.
struct Client {
    std::string devnode;
    Hub* hub = nullptr;               // the hub whose chip it talks to; null for another device
    Hub* served_by = nullptr;         // the hub whose thread answers it (another device: the first)
    pid_t pid = 0;                    // 0: not known
    int socket = -1;                  // the simulator's end of the connection
    ino_t socket_inode = 0;           // its inode: the number comes back once the socket closes
    int slot = -1;                    // the process's virtual clock
    std::deque<UrbInFlight> finished; // waiting to be reaped
    std::vector<UrbInFlight> pending; // never finishing until discarded
};

struct ClientTable {
    std::mutex lock;
    std::map<UMockdevIoctlClient*, Client> clients;
    // The simulator's connection sockets, by inode, and their peers. Not by number: a process that
    // closes a device node and opens one again at once may get the closed socket's number.
    std::map<ino_t, pid_t> peer_sockets;
    bool closed = false; // the command has ended: no ioctl is served any more
};

struct Event {
    enum class Kind { transfer, pause, plug, unplug } kind;
    std::size_t hub = 0;      // the hub whose records it belongs to
    std::size_t transfer = 0; // index into Hub::transfers
    uint64_t pause_start_us = 0;
    uint64_t pause_us = 0; // a plug or unplug: the real time since the start
};

// A signal of a --signal rule with a delay, waiting on the main loop to be sent.
struct LaterSignal {
    pid_t target = 0;
    int signal = 0;
};

// The bed's history in the order it happened, with what the hub threads share besides.
struct EventLog {
    std::mutex lock;
    bool keep = false; // keep transfers and events (for --trace)
    std::vector<Event> events;
    std::map<pid_t, std::size_t> hub_of_process; // the hub each process spoke to last
    uint64_t pauses_seen = 0;
    std::vector<SignalRule> signals;       // the --signal rules, each striking once
    std::deque<LaterSignal> later_signals; // the signals of those with a delay, once due
    std::vector<std::string> unknown_ioctls;
};

struct Bed {
    std::mutex hubs_lock;                         // held while the hub list grows or is searched
    std::deque<Hub> hubs;                         // every hub that was ever plugged, in that order
    ClientTable clients;                          // every open device node
    EventLog log;                                 // what happened, in order
    const virtual_clock::Header* clock = nullptr; // null without --fast: the real clock
    int64_t start_us = 0;                         // the real clock's start
    std::atomic<pid_t> command_pid = 0;
    uint64_t clock_end_us = 0; // the latest virtual time of any process when the command ended
};

// A new hub at the end of the bed's list (the caller holds the hub list's lock, or no other
// thread runs yet); its thread is started once its fields are set.
Hub& add_hub(Bed& bed);

// Moves the pauses taken on `clock` since the last call into the event record (the caller holds
// the log's lock).
void collect_pauses(EventLog& log, const virtual_clock::Header* clock);

// A plug or unplug of hub `hub`, in the event record.
void record_plug(Bed& bed, std::size_t hub, bool plugged);

} // namespace sim
