// A model of the hub's I2C bridge and the chip behind it. It takes each vendor control request
// as the hub would, checks every frame and sequence as the chip would, answers status and
// register reads, stores the flashed bytes of each image and records every violation in words.
// Used by the unit tests (through a stand-in control transfer) and by the virtual hub.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace chip_model {

// libusb's codes for the failures the model can inject.
constexpr int error_io = -1;
constexpr int error_no_device = -4;
constexpr int error_timeout = -7;
constexpr int error_pipe = -9;

enum class FaultKind {
    none,
    stall,        // the request fails with error_pipe
    no_device,    // the request fails with error_no_device
    timeout,      // the request fails with error_timeout
    short_reply,  // the request moves fewer bytes than asked (half, rounded down)
    never_finish, // from this request on, every status reply says "not finished"
    bad_check,    // a status reply that says "finished" with a wrong check byte
    state,        // a status reply whose state byte is `value`, with a right check byte
    reply_bytes,  // a read that moves `value` bytes (0 to 7)
};

// The fault strikes the nth (1-based) request whose bRequest is `request`.
struct Fault {
    FaultKind kind = FaultKind::none;
    uint8_t request = 0;
    unsigned nth = 1;
    uint8_t value = 0; // the state byte of `state`, the byte count of `reply_bytes`
};

// One control transfer as the hub saw it.
struct Transfer {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data; // OUT: the bytes received; IN: the bytes answered
    int result = 0;            // bytes moved, or a negative libusb error code
};

struct Config {
    // Version bytes 0 to 5: registers 0x1001, 0x1101, 0x1201, low byte first.
    std::array<uint8_t, 6> version{2, 13, 15, 0, 0, 4};
    // "Not finished" replies before "finished", for every command the chip works on.
    unsigned busy_replies = 0;
    Fault fault;
};

// Which image a flash transfer belongs to, from the values written to register 0x5000: 0x0011
// opens Image 1's window and 0x0012 closes it; 0x0020 opens Image 0's window and 0x0110 closes it.
// Flash blocks outside a window are refused. Tests of the flash writer alone, which make no
// register write, open a window with open_image_window right after reset().
enum class Phase { idle, image1, between, image0, done };

// What the chip received and did.
struct History {
    std::vector<Transfer> transfers;
    std::vector<std::string> violations;
    std::vector<uint16_t> reg5000_values;        // of the last update sequence
    std::array<std::vector<uint8_t>, 2> flashed; // [0] Image 0, [1] Image 1
    std::array<unsigned, 2> blocks_confirmed{};
};

// Where the update sequence and the command in progress stand.
struct Sequence {
    Phase phase = Phase::idle;
    uint32_t next_offset = 0;          // expected offset of the next block of the current image
    bool image_ended = false;          // a block shorter than a whole one ended the current image
    bool busy = false;                 // a command is being worked on
    unsigned busy_left = 0;            // "not finished" replies still to give
    bool command_failed = false;       // the last command was refused: status stays "not finished"
    int polled_value = -1;             // the value written to 0x5000 whose status is being polled
    bool last_value_confirmed = false; // the last write to 0x5000 was reported finished
    bool read_address_set = false;
    uint16_t read_address = 0;
    unsigned status_reads = 0;     // status replies given, which vary bytes 0 to 5
    bool finished_checked = false; // finish() ran
};

// The flash block in progress: prepare frame seen, waiting for header, data and CRC.
struct Block {
    bool open = false;
    bool header_seen = false;
    bool bad = false; // the block broke a rule: its CRC frame will be refused
    int image = -1;   // the image it belongs to, -1 for none
    uint32_t offset = 0;
    uint32_t length = 0;
    std::vector<uint8_t> data;
};

// The pauses, judged for the transfers that come with the time they were made at.
struct Timing {
    bool clock_seen = false;       // a transfer came with its time
    uint64_t last_us = 0;          // when the chip saw the transfer before
    bool first_status_due = false; // a CRC frame came: the next status read is its block's first
    bool long_pause_due = false;   // 0x0010 or 0x0012 confirmed: 1 s before the next transfer
};

// What the injected fault needs to know and has done.
struct FaultState {
    std::array<unsigned, 256> request_counts{}; // requests seen, per bRequest
    bool never_finish = false;                  // a never_finish fault struck
    bool device_gone = false; // a no_device fault struck: every request fails from now on
};

struct Chip {
    Config config;
    History history;
    Sequence sequence; // read by tests that want to look
    Block block;
    Timing timing;
    FaultState faults;
};

// Sets the configuration and clears every record and state.
void reset(Chip& chip, const Config& config = {});

// Handles one control transfer on endpoint 0. `data` holds wLength bytes: the OUT data, or the
// room for the IN reply. Returns the number of bytes moved (possibly fewer than wLength), or a
// negative libusb error code for an injected failure or a request the hub does not know.
// Every transfer is appended to `history.transfers`; a failed one keeps an empty `data`. Unknown
// request codes and in requests to an I2C address other than 0xE7 or 0xE9 stall (error_pipe). A
// refused command frame or block leaves every later status reply "not finished" until the next
// command is accepted.
int control_transfer(Chip& chip, uint8_t request_type, uint8_t request, uint16_t value,
                     uint16_t index, uint8_t* data, uint16_t length);

// The same for a transfer made at `now_us` on the clock of the run (the virtual clock of the
// tool's process, or a real one; microseconds, from any start). Checks besides that the tool
// kept the chip's pauses: 321 ms before each status read since the transfer before it, 444 ms
// between a CRC frame and its block's first status read, 2,321 ms before each status read of
// the write of 0x0020, and 1 s after the confirmed writes of 0x0010 and 0x0012. A gap shorter
// than its rule by more than 1 ms is a violation.
int control_transfer_at(Chip& chip, uint64_t now_us, uint8_t request_type, uint8_t request,
                        uint16_t value, uint16_t index, uint8_t* data, uint16_t length);

// The next transfer comes on another clock (another process's virtual clock): the pauses are
// judged again from the transfer after it.
void restart_clock(Chip& chip);

// Ends a run: when its last update sequence (from the last write of 0x0010 to register 0x5000)
// did not end (both images confirmed, then 0x0110 written and confirmed), adds one closing
// violation that says where it stopped. Further calls add nothing.
void finish(Chip& chip);

// Opens Image `image`'s window (0 or 1) as its register writes would, with that image empty and its
// next block expected at offset 0; for tests of the flash writer alone.
void open_image_window(Chip& chip, int image);

// The image that flash data would go to in the current phase: 0, 1, or -1 for none.
int current_image(const Chip& chip);

// The chip's CRC-16 over a block (polynomial 0x1021, initial value 0x1021), computed its own way.
uint16_t block_crc(const uint8_t* bytes, std::size_t count);

// All violations joined one per line (each ends in a newline); empty when the tool did
// everything right.
std::string verdict(const Chip& chip);

} // namespace chip_model
