// What the chip operation tests share: the device of test_device.h, a fixture with image paths
// in a temporary directory, the chip reset and the run settings restored afterwards, and the wire
// schedule as one text.
#pragma once

#include "capture.h"
#include "result_codes.h"
#include "settings.h"
#include "test_device.h"
#include "test_files.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace chip_test {

using Bytes = std::vector<uint8_t>;

// While set, every request for an image buffer fails as if memory were exhausted (no_memory.cpp).
extern bool fail_image_buffer;

inline void set_path(std::array<char, 256>& field, const std::string& path) {
    field.fill(0);
    path.copy(field.data(), field.size() - 1);
}

// The chip model's faults and the wire schedule, as the chip tests name them.
using chip_model::FaultKind;
using test_device::schedule;

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
