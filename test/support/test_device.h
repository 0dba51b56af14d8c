// The device the unit tests and the fuzz target talk to: a stand-in libusb_control_transfer hands
// every vendor request to one chip model, and a stand-in protocol_pause records every pause
// instead of sleeping and advances the chip's clock by it. The test binaries define both functions
// themselves (test_device.cpp), so the linker takes them in place of libusb's own
// libusb_control_transfer and of the real pause, which is not linked at all. A transfer whose
// timeout is not the tool's 1000 ms adds a violation to the chip's record. What the chip
// operation tests share besides is in chip_test.h.
#pragma once

#include "chip_model.h"

#include <cstddef>
#include <cstdint>
#include <libusb.h>
#include <string>
#include <vector>

namespace test_device {

// One step as the tool made it: a control transfer (its index in chip().history.transfers) or a
// pause.
struct Event {
    enum class Kind { transfer, pause } kind;
    std::size_t transfer = 0;
    uint32_t pause_us = 0;
};

// The chip behind the stand-in control transfer.
chip_model::Chip& chip();

// Every transfer and pause in the order they happened.
const std::vector<Event>& events();

// Resets the chip with `config` and clears the event record.
void reset(const chip_model::Config& config = {});

// A handle to pass to the chip operations; never dereferenced.
libusb_device_handle* handle();

// Answers the next device-to-host requests with these bytes instead of the chip, one reply per
// request in order (a reply shorter than asked for is a short transfer). The transfers are
// recorded as usual; the chip does not see them. Cleared by reset.
void queue_in_replies(const std::vector<std::vector<uint8_t>>& replies);

// Gets a transfer's setup and data, fills the data of an IN transfer, and returns the bytes moved
// or a negative libusb error code, as libusb_control_transfer does.
using Answer = int (*)(uint8_t request_type, uint8_t request, uint16_t index, unsigned char* data,
                       uint16_t length);

// Answers every request with `answer` instead of the chip (the fuzz target's device). The
// transfers are recorded as usual, each with the bytes it moved; the chip does not see them.
// Cleared by reset.
void answer_with(Answer answer);

// Transfers and pauses in their order, space-separated: "B2:13 321000 A3:8" (request:length, or
// the pause in microseconds).
std::string schedule();

} // namespace test_device
