// What the chip operation tests share: a fixture with image paths in a temporary directory and
// the run settings restored afterwards, captured output, the wire schedule and progress lines.
#pragma once

#include "settings.h"
#include "test_device.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace chip_test {

using Bytes = std::vector<uint8_t>;

// While set, a request for an image buffer fails as if memory were exhausted (the
// allocation stand-in lives in test_flash_writer.cpp).
extern bool fail_image_buffer;

inline void set_path(std::array<char, 256>& field, const std::string& path) {
    ASSERT_LT(path.size(), field.size());
    field.fill(0);
    std::memcpy(field.data(), path.data(), path.size());
}

// What `run` printed on standard output.
template <typename F> std::string output_of(F&& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// "\rprogress=NN%" for every percentage from `first` to `last`.
inline std::string progress_lines(int first, int last) {
    std::string text;
    for (int percent = first; percent <= last; ++percent) {
        char line[32];
        std::snprintf(line, sizeof line, "\rprogress=%02d%%", percent);
        text += line;
    }
    return text;
}

// Transfers and pauses in their order, space-separated: "B2:13 321000 A3:8" (request:length, or
// the pause in microseconds).
inline std::string schedule() {
    std::string text;
    for (const auto& event : test_device::events()) {
        char word[24];
        if (event.kind == test_device::Event::Kind::pause) {
            std::snprintf(word, sizeof word, " %u", event.pause_us);
        } else {
            const auto& t = test_device::chip().transfers[event.transfer];
            std::snprintf(word, sizeof word, " %02X:%u", t.request, t.length);
        }
        text += word;
    }
    return text.empty() ? text : text.substr(1);
}

// Makes `path` a sparse file of `size` bytes; false where the file system cannot.
inline bool make_sparse_file(const std::string& path, uintmax_t size) {
    std::ofstream(path).close();
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    return !error;
}

// Image 0 and Image 1 named by the settings in a fresh directory (the files are not written),
// detail lines off, the chip reset; the settings are restored afterwards.
class ChipTest : public ::testing::Test {
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
