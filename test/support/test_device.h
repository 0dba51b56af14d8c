// The device the unit tests talk to: a stand-in libusb_control_transfer hands every vendor
// request to one chip model, and a stand-in protocol_pause records every pause instead of
// sleeping and advances the chip's clock by it. The test binaries define both functions
// themselves (test_device.cpp), so the linker takes them in place of libusb's own
// libusb_control_transfer and of the real pause, which is not linked at all. A transfer whose
// timeout is not the tool's 1000 ms adds a violation to the chip's record. Below, what the chip
// operation tests share: a fixture with image paths in a temporary directory, the chip reset and
// the run settings restored afterwards, and the wire schedule as one text.
#pragma once

#include "capture.h"
#include "chip_model.h"
#include "result_codes.h"
#include "settings.h"
#include "test_files.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
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

} // namespace test_device

namespace chip_test {

using Bytes = std::vector<uint8_t>;

// While set, every request for an image buffer fails as if memory were exhausted (no_memory.cpp).
extern bool fail_image_buffer;

inline void set_path(std::array<char, 256>& field, const std::string& path) {
    field.fill(0);
    path.copy(field.data(), field.size() - 1);
}

// Transfers and pauses in their order, space-separated: "B2:13 321000 A3:8" (request:length, or
// the pause in microseconds).
std::string schedule();

class ChipTest : public testing::Test {
  protected:
    void SetUp() override {
        saved_ = gSettings;
        gSettings.gDbgMsg = 0;
        set_path(gSettings.gTovrelaBin0, dir_.file("image0.bin"));
        set_path(gSettings.gTovrelaBin1, dir_.file("image1.bin"));
        test_device::reset();
    }
    void TearDown() override {
        gSettings = saved_;
        fail_image_buffer = false;
    }

    // Writes `size` pattern bytes as Image `image` and returns them.
    Bytes write_image(int image, std::size_t size, uint32_t seed = 7) {
        Bytes bytes = test_files::pattern_bytes(size, seed);
        dir_.write(image == 0 ? "image0.bin" : "image1.bin", bytes);
        return bytes;
    }

    test_files::TempDir dir_;

  private:
    RunSettings saved_;
};

} // namespace chip_test
