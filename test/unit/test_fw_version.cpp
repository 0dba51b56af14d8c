// Versions of the chip and of Image 0, the update check and the self test.
#include "fw_version.h"
#include "settings.h"
#include "test_device.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace chip_test {
extern bool fail_image_buffer; // defined with the allocation stand-in of the flash writer tests
}

namespace {

using Bytes = std::vector<uint8_t>;

bool operator==(const FwVersion& a, const FwVersion& b) {
    return a.std_major == b.std_major && a.std_minor == b.std_minor &&
           a.std_revision == b.std_revision && a.customer_minor == b.customer_minor;
}

std::string chip_lines(int b0, int b1, int b2, int b3, int b4, int b5) {
    return "STD_MAJOR_VERSION        = " + std::to_string(b0) +
           "\nSTD_MINOR_VERSION        = " + std::to_string(b1) +
           "\nSTD_REVISION_NUMBER      = " + std::to_string(b2) +
           "\nCUSTOMER_PROJECT_ID      = " + std::to_string(b3) +
           "\nCUSTOMER_MAJOR_REVERSION = " + std::to_string(b4) +
           "\nCUSTOMER_MINOR_REVERSION = " + std::to_string(b5) + "\n";
}

// An Image 0 of `size` bytes, zero but for its version block when it is long enough.
Bytes image0_with_version(std::size_t size, const FwVersion& version) {
    Bytes bytes(size, 0);
    const std::pair<std::size_t, uint32_t> fields[] = {{0xFFFED, version.std_minor},
                                                       {0xFFFEE, version.std_revision},
                                                       {0xFFFEF, 0x99},
                                                       {0xFFFF0, version.std_major},
                                                       {0xFFFF1, version.customer_minor}};
    for (const auto& [offset, value] : fields) {
        if (offset < size) {
            bytes[offset] = static_cast<uint8_t>(value);
        }
    }
    return bytes;
}

class Versions : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = gSettings;
        gSettings.gDbgMsg = 0;
        set_path(gSettings.gTovrelaBin0, dir_.file("image0.bin"));
        set_path(gSettings.gTovrelaBin1, dir_.file("image1.bin"));
        dir_.write("image1.bin", std::string("12345"));
        test_device::reset();
    }
    void TearDown() override {
        gSettings = saved_;
        chip_test::fail_image_buffer = false;
    }

    static void set_path(std::array<char, 256>& field, const std::string& path) {
        ASSERT_LT(path.size(), field.size());
        field.fill(0);
        std::memcpy(field.data(), path.data(), path.size());
    }

    template <typename F> static std::string output_of(F&& run) {
        testing::internal::CaptureStdout();
        run();
        return testing::internal::GetCapturedStdout();
    }

    test_files::TempDir dir_;

  private:
    RunSettings saved_;
};

// --- comparison ---

TEST(FwVersionGt, FirstDifferingFieldDecides) {
    struct Case {
        FwVersion a, b;
        bool expected;
    };
    const Case cases[] = {
        {{2, 13, 15, 4}, {2, 13, 15, 4}, false},  {{2, 13, 15, 4}, {2, 13, 15, 3}, true},
        {{2, 13, 15, 3}, {2, 13, 15, 4}, false},  {{1, 255, 255, 255}, {2, 0, 0, 0}, false},
        {{2, 0, 0, 0}, {1, 255, 255, 255}, true}, {{2, 14, 0, 0}, {2, 13, 255, 255}, true},
        {{2, 13, 16, 0}, {2, 13, 15, 255}, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].expected, fw_version_gt(cases[i].a, cases[i].b)) << "case " << i;
    }
}

// --- device version ---

TEST_F(Versions, DeviceVersionTakesLowByteFirst) {
    // 0x1001 = 0x0D02, 0x1101 = 0x030F, 0x1201 = 0x0705.
    test_device::queue_in_replies({{0x0D, 0x02}, {0x03, 0x0F}, {0x07, 0x05}});
    FwVersion version;
    EXPECT_EQ(chip_lines(2, 13, 15, 3, 5, 7), output_of([&] {
                  EXPECT_EQ(1, read_device_version(test_device::handle(), &version));
              }));
    EXPECT_TRUE((version == FwVersion{2, 13, 15, 7}));

    std::vector<Bytes> addresses;
    for (const auto& t : test_device::chip().transfers) {
        if (t.request == 0xB7) {
            addresses.push_back(t.data);
        }
    }
    EXPECT_EQ((std::vector<Bytes>{{0xE8, 0x10, 0x01}, {0xE8, 0x11, 0x01}, {0xE8, 0x12, 0x01}}),
              addresses);
}

TEST_F(Versions, DeviceVersionFromTheChipWithoutRecord) {
    test_device::reset({.version = {1, 2, 3, 4, 5, 6}, .busy_replies = 0, .fault = {}});
    EXPECT_EQ(chip_lines(1, 2, 3, 4, 5, 6),
              output_of([] { EXPECT_EQ(1, read_device_version(test_device::handle(), nullptr)); }));
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
}

TEST_F(Versions, DeviceVersionFailures) {
    const FwVersion untouched{9, 9, 9, 9};
    FwVersion version = untouched;
    // The first read fails, the other two are still made.
    test_device::reset({.fault = {chip_model::FaultKind::stall, 0xB7, 1}});
    EXPECT_EQ("I2C-WriteCmd B7 Fail -9\nFailed to read register\n", output_of([&] {
                  EXPECT_EQ(0, read_device_version(test_device::handle(), &version));
              }));
    EXPECT_EQ(3u, test_device::chip().request_counts[0xB7]);
    EXPECT_TRUE(version == untouched);

    // A register value that arrives with one byte of two is not used.
    test_device::reset({.fault = {chip_model::FaultKind::short_reply, 0xA3, 2}});
    EXPECT_EQ("Tovrela_Reg_Read 1101 short reply 1\nFailed to read register\n", output_of([&] {
                  EXPECT_EQ(0, read_device_version(test_device::handle(), &version));
              }));
    EXPECT_TRUE(version == untouched);
}

// --- image version ---

struct ImageCase {
    const char* name;
    std::size_t size;
    int result;
    const char* output; // with the size lines on
};
void PrintTo(const ImageCase& c, std::ostream* os) {
    *os << c.name;
}

class ImageVersion : public Versions, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageVersion, SizeAndVersionBlock) {
    gSettings.gDbgMsg = 1;
    dir_.write("image0.bin", image0_with_version(GetParam().size, {2, 13, 15, 5}));
    FwVersion version{7, 7, 7, 7};
    EXPECT_EQ(GetParam().output,
              output_of([&] { EXPECT_EQ(GetParam().result, read_image_version(&version)); }));
    const bool has_version = std::string(GetParam().output).find("Version=") != std::string::npos;
    EXPECT_TRUE(version == (has_version ? FwVersion{2, 13, 15, 5} : FwVersion{7, 7, 7, 7}));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ImageVersion,
    ::testing::Values(ImageCase{"no_version_block", 0xFFFF2, 1,
                                "TotalByte0: 0xFFFF2 = 1023 KB\nTotalByte1: 0x5 = 0 KB\n"},
                      ImageCase{"shortest_with_version", 0xFFFF3, 1,
                                "TotalByte0: 0xFFFF3 = 1023 KB\nBinFile0 Version=2.13.15.5\n"
                                "TotalByte1: 0x5 = 0 KB\n"},
                      ImageCase{"largest", 0x200000, 1,
                                "TotalByte0: 0x200000 = 2048 KB\nBinFile0 Version=2.13.15.5\n"
                                "TotalByte1: 0x5 = 0 KB\n"},
                      ImageCase{"too_large", 0x200001, 0,
                                "TotalByte0: 0x200001 = 2048 KB\n  BinFile0 Size Error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Versions, ImageVersionFileFailures) {
    dir_.write("image0.bin", image0_with_version(0xFFFF3, {2, 13, 15, 4}));
    std::filesystem::remove(dir_.file("image1.bin"));
    EXPECT_EQ("BinFile0 Version=2.13.15.4\n!!!Open BinFile1 Fail\n",
              output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); }));

    dir_.write("image1.bin", Bytes(0x200001, 1));
    EXPECT_EQ("BinFile0 Version=2.13.15.4\n  BinFile1 Size Error\n",
              output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); }));

    std::filesystem::remove(dir_.file("image0.bin"));
    EXPECT_EQ("!!!Open BinFile0 Fail\n",
              output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); }));
}

TEST_F(Versions, ImageLengthBeyond32BitsIsASizeError) {
    gSettings.gDbgMsg = 1;
    std::ofstream(dir_.file("image0.bin")).close();
    std::error_code error;
    std::filesystem::resize_file(dir_.file("image0.bin"), 0x100000010ull, error);
    if (error) {
        GTEST_SKIP() << "no sparse file of 4 GiB here: " << error.message();
    }
    EXPECT_EQ("TotalByte0: 0x100000010 = 4194304 KB\n  BinFile0 Size Error\n",
              output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); }));
}

TEST_F(Versions, ImageBufferOrReadFailures) {
    dir_.write("image0.bin", image0_with_version(0xFFFF3, {2, 13, 15, 4}));
    chip_test::fail_image_buffer = true;
    EXPECT_EQ("!!!No memory for BinFile 0\n",
              output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); }));
    chip_test::fail_image_buffer = false;

    const std::string path = "/sys/kernel/mm/transparent_hugepage/enabled";
    std::error_code error;
    if (std::filesystem::file_size(path, error) != 4096 || error) {
        GTEST_SKIP() << "no short-reading file here";
    }
    set_path(gSettings.gTovrelaBin0, path);
    const std::string text = output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); });
    EXPECT_EQ(0u, text.rfind("!!!Read BinFile 0 Fail: ", 0)) << text;
    EXPECT_TRUE(text.ends_with(" of 4096 bytes\n")) << text;
}

// --- update check ---

struct CheckCase {
    const char* name;
    std::size_t image0_size; // 0: no Image 0 file
    FwVersion image_version;
    chip_model::Fault fault;
    int result;
    const char* tail; // the output after the six chip lines, or all of it for -1
};
void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class CheckUpdate : public Versions, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckUpdate, ComparesChipAndImage) {
    const auto& param = GetParam();
    if (param.image0_size != 0) {
        dir_.write("image0.bin", image0_with_version(param.image0_size, param.image_version));
    }
    test_device::reset({.version = {2, 13, 15, 0, 0, 4}, .fault = param.fault});
    const std::string expected =
        (param.result == -1 ? std::string() : chip_lines(2, 13, 15, 0, 0, 4)) + param.tail;
    EXPECT_EQ(expected,
              output_of([&] { EXPECT_EQ(param.result, check_fw_update(test_device::handle())); }));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, CheckUpdate,
    ::testing::Values(
        CheckCase{"newer_image",
                  0xFFFF3,
                  {2, 13, 15, 5},
                  {},
                  0,
                  "BinFile0 Version=2.13.15.5\nFW Current: 2.13.15.4\nFW Available: 2.13.15.5\n"
                  "FW update available\n"},
        CheckCase{"equal",
                  0x100000,
                  {2, 13, 15, 4},
                  {},
                  7,
                  "BinFile0 Version=2.13.15.4\nFW Current: 2.13.15.4\nFW Available: 2.13.15.4\n"
                  "FW up to date\n"},
        CheckCase{"older_image",
                  0xFFFF3,
                  {1, 255, 255, 255},
                  {},
                  7,
                  "BinFile0 Version=1.255.255.255\nFW Current: 2.13.15.4\n"
                  "FW Available: 1.255.255.255\nFW up to date\n"},
        CheckCase{"register_read_fails",
                  0xFFFF3,
                  {2, 13, 15, 5},
                  {chip_model::FaultKind::timeout, 0xA3, 3},
                  -1,
                  "I2C-ReadCmd A3 Fail -7\nFailed to read register\n"
                  "Failed to query current FW version\n"},
        CheckCase{"no_image0",
                  0,
                  {},
                  {},
                  -2,
                  "!!!Open BinFile0 Fail\nFailed to query available FW version\n"},
        CheckCase{"image0_without_version",
                  0xFFFF2,
                  {2, 13, 15, 5},
                  {},
                  -2,
                  "Failed to query available FW version\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Versions, CheckPrintsItsLinesInOrderWithSizeLines) {
    gSettings.gDbgMsg = 1;
    dir_.write("image0.bin", image0_with_version(0xFFFF3, {2, 13, 15, 5}));
    EXPECT_EQ(chip_lines(2, 13, 15, 0, 0, 4) +
                  "TotalByte0: 0xFFFF3 = 1023 KB\nBinFile0 Version=2.13.15.5\n"
                  "TotalByte1: 0x5 = 0 KB\nFW Current: 2.13.15.4\nFW Available: 2.13.15.5\n"
                  "FW update available\n",
              output_of([] { EXPECT_EQ(0, check_fw_update(test_device::handle())); }));
}

// --- self test ---

TEST_F(Versions, SelfTestOutput) {
    EXPECT_EQ("Running self tests\n"
              "\nRunning test suite: misc\n"
              "Running test \"fw_version_gt equal\" ... passed\n"
              "Running test \"fw_version_gt gt\" ... passed\n"
              "Running test \"fw_version_gt lt\" ... passed\n"
              "Running test \"fw_version_gt gt advanced\" ... passed\n"
              "Running test \"fw_version_gt lt advanced\" ... passed\n"
              "\nTest result: success\n",
              output_of([] { EXPECT_EQ(0, run_self_tests()); }));
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

} // namespace
