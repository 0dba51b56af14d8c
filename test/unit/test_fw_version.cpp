// Versions of the chip and of Image 0, the update check and the self test.
#include "chip_test_helpers.h"
#include "fw_version.h"

#include <gtest/gtest.h>

namespace {

using chip_model::FaultKind;
using chip_test::Bytes;
using chip_test::output_of;

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

class Versions : public chip_test::ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        dir_.write("image1.bin", std::string("12345"));
    }

    // An Image 0 of `size` bytes, zero but for the version block as far as it fits.
    void write_image0(std::size_t size, const FwVersion& v) {
        Bytes bytes(size, 0);
        const std::pair<std::size_t, uint32_t> fields[] = {{0xFFFED, v.std_minor},
                                                           {0xFFFEE, v.std_revision},
                                                           {0xFFFEF, 0x99},
                                                           {0xFFFF0, v.std_major},
                                                           {0xFFFF1, v.customer_minor}};
        for (const auto& [offset, value] : fields) {
            if (offset < size) {
                bytes[offset] = static_cast<uint8_t>(value);
            }
        }
        dir_.write("image0.bin", bytes);
    }
};

TEST(FwVersionGt, FirstDifferingFieldDecides) {
    const struct {
        FwVersion a, b;
        bool expected;
    } cases[]{{{2, 13, 15, 4}, {2, 13, 15, 4}, false},  {{2, 13, 15, 4}, {2, 13, 15, 3}, true},
              {{2, 13, 15, 3}, {2, 13, 15, 4}, false},  {{1, 255, 255, 255}, {2, 0, 0, 0}, false},
              {{2, 0, 0, 0}, {1, 255, 255, 255}, true}, {{2, 14, 0, 0}, {2, 13, 255, 255}, true},
              {{2, 13, 16, 0}, {2, 13, 15, 255}, true}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].expected, fw_version_gt(cases[i].a, cases[i].b)) << "case " << i;
    }
}

TEST_F(Versions, DeviceVersionTakesLowByteFirst) {
    // 0x1001 = 0x0D02, 0x1101 = 0x030F, 0x1201 = 0x0705.
    test_device::queue_in_replies({{0x0D, 0x02}, {0x03, 0x0F}, {0x07, 0x05}});
    FwVersion version;
    EXPECT_EQ(chip_lines(2, 13, 15, 3, 5, 7), output_of([&] {
                  EXPECT_EQ(1, read_device_version(test_device::handle(), &version));
              }));
    EXPECT_TRUE((version == FwVersion{2, 13, 15, 7}));
    const auto& t = test_device::chip().transfers;
    ASSERT_EQ(6u, t.size());
    EXPECT_EQ((std::vector<Bytes>{{0xE8, 0x10, 0x01}, {0xE8, 0x11, 0x01}, {0xE8, 0x12, 0x01}}),
              (std::vector<Bytes>{t[0].data, t[2].data, t[4].data}));

    // From the chip model, with no record asked for.
    test_device::reset({.version = {1, 2, 3, 4, 5, 6}, .busy_replies = 0, .fault = {}});
    EXPECT_EQ(chip_lines(1, 2, 3, 4, 5, 6),
              output_of([] { EXPECT_EQ(1, read_device_version(test_device::handle(), nullptr)); }));
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
}

TEST_F(Versions, DeviceVersionFailuresLeaveTheRecordAlone) {
    const struct {
        chip_model::Fault fault;
        const char* output;
    } cases[]{// The first read fails; the other two are still made.
              {{FaultKind::stall, 0xB7, 1}, "I2C-WriteCmd B7 Fail -9\n"},
              // A value that arrives with one byte of two is not used.
              {{FaultKind::short_reply, 0xA3, 2}, "Tovrela_Reg_Read 1101 short reply 1\n"}};
    for (const auto& c : cases) {
        test_device::reset({.fault = c.fault});
        FwVersion version{9, 9, 9, 9};
        EXPECT_EQ(std::string(c.output) + "Failed to read register\n", output_of([&] {
                      EXPECT_EQ(0, read_device_version(test_device::handle(), &version));
                  }));
        EXPECT_EQ(3u, test_device::chip().request_counts[0xB7]);
        EXPECT_TRUE((version == FwVersion{9, 9, 9, 9}));
    }
}

TEST_F(Versions, ImageVersionNeedsMoreThan0xFFFF2Bytes) {
    gSettings.gDbgMsg = 1;
    const std::string image1_line = "TotalByte1: 0x5 = 0 KB\n";
    const struct {
        std::size_t size;
        int result;
        std::string output;
    } cases[]{
        {0xFFFF2, 1, "TotalByte0: 0xFFFF2 = 1023 KB\n" + image1_line},
        {0xFFFF3, 1, "TotalByte0: 0xFFFF3 = 1023 KB\nBinFile0 Version=2.13.15.5\n" + image1_line},
        {0x200000, 1, "TotalByte0: 0x200000 = 2048 KB\nBinFile0 Version=2.13.15.5\n" + image1_line},
        {0x200001, 0, "TotalByte0: 0x200001 = 2048 KB\n  BinFile0 Size Error\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        write_image0(c.size, {2, 13, 15, 5});
        FwVersion version{7, 7, 7, 7};
        EXPECT_EQ(c.output, output_of([&] { EXPECT_EQ(c.result, read_image_version(&version)); }));
        const bool has_version = c.output.find("Version=") != std::string::npos;
        EXPECT_TRUE(version == (has_version ? FwVersion{2, 13, 15, 5} : FwVersion{7, 7, 7, 7}));
    }
}

TEST_F(Versions, ImageVersionFileFailures) {
    const auto read = [] { return output_of([] { EXPECT_EQ(0, read_image_version(nullptr)); }); };
    write_image0(0xFFFF3, {2, 13, 15, 4});
    std::filesystem::remove(dir_.file("image1.bin"));
    EXPECT_EQ("BinFile0 Version=2.13.15.4\n!!!Open BinFile1 Fail\n", read());
    dir_.write("image1.bin", Bytes(0x200001, 1));
    EXPECT_EQ("BinFile0 Version=2.13.15.4\n  BinFile1 Size Error\n", read());

    chip_test::fail_image_buffer = true;
    EXPECT_EQ("!!!No memory for BinFile 0\n", read());
    chip_test::fail_image_buffer = false;

    std::filesystem::remove(dir_.file("image0.bin"));
    EXPECT_EQ("!!!Open BinFile0 Fail\n", read());

    gSettings.gDbgMsg = 1; // a length beyond 32 bits must not wrap to a small one
    if (chip_test::make_sparse_file(dir_.file("image0.bin"), 0x100000010ull)) {
        EXPECT_EQ("TotalByte0: 0x100000010 = 4194304 KB\n  BinFile0 Size Error\n", read());
    }
}

// The chip holds 2.13.15.4; the six chip lines come first unless its version cannot be read.
TEST_F(Versions, CheckComparesChipAndImage) {
    // clang-format off
    const struct {
        std::size_t image0_size; // 0: no Image 0 file
        uint32_t image_customer_minor;
        chip_model::Fault fault;
        int result;
        const char* tail;
    } cases[]{
        {0xFFFF3, 5, {}, 0, "BinFile0 Version=2.13.15.5\nFW Current: 2.13.15.4\n"
                            "FW Available: 2.13.15.5\nFW update available\n"},
        {0x100000, 4, {}, 7, "BinFile0 Version=2.13.15.4\nFW Current: 2.13.15.4\n"
                             "FW Available: 2.13.15.4\nFW up to date\n"},
        {0xFFFF3, 5, {FaultKind::timeout, 0xA3, 3}, -1, "I2C-ReadCmd A3 Fail -7\n"
            "Failed to read register\nFailed to query current FW version\n"},
        {0, 0, {}, -2, "!!!Open BinFile0 Fail\nFailed to query available FW version\n"},
        // Image 0 too short to hold a version: nothing to compare.
        {0xFFFF2, 5, {}, -2, "Failed to query available FW version\n"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        std::filesystem::remove(dir_.file("image0.bin"));
        if (c.image0_size != 0) {
            write_image0(c.image0_size, {2, 13, 15, c.image_customer_minor});
        }
        test_device::reset({.version = {2, 13, 15, 0, 0, 4}, .fault = c.fault});
        EXPECT_EQ((c.result == -1 ? "" : chip_lines(2, 13, 15, 0, 0, 4)) + c.tail,
                  output_of([&] { EXPECT_EQ(c.result, check_fw_update(test_device::handle())); }));
    }
}

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
