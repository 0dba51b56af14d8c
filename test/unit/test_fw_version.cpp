// Versions of the chip and of Image 0 and their comparison.
#include "chip_test.h"
#include "fw_version.h"

#include <filesystem>

namespace {

using chip_model::FaultKind;
using chip_test::Bytes;

bool operator==(const FwVersion& a, const FwVersion& b) {
    return a.std_major == b.std_major && a.std_minor == b.std_minor &&
           a.std_revision == b.std_revision && a.customer_minor == b.customer_minor;
}

class Versions : public chip_test::ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        dir_.write("image1.bin", std::string("12345"));
    }

    // An Image 0 of `size` bytes, zero but for the version block 2.13.15.`customer` as far as
    // it fits.
    void write_image0(std::size_t size, uint8_t customer) {
        Bytes bytes(size, 0);
        const std::pair<std::size_t, uint8_t> fields[] = {
            {0xFFFED, 13}, {0xFFFEE, 15}, {0xFFFEF, 0x99}, {0xFFFF0, 2}, {0xFFFF1, customer}};
        for (const auto& [offset, value] : fields) {
            if (offset < size) {
                bytes[offset] = value;
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

// A failed read leaves the record alone; the other two reads are still made.
TEST_F(Versions, DeviceVersionFailureLeavesTheRecordAlone) {
    test_device::reset({.fault = {FaultKind::stall, 0xB7, 1}});
    FwVersion version{9, 9, 9, 9};
    EXPECT_EQ("I2C-WriteCmd B7 Fail -9\nFailed to read register\n", capture_stdout([&] {
                  EXPECT_EQ(rc::failed, read_device_version(test_device::handle(), &version));
              }));
    EXPECT_EQ(3u, test_device::chip().faults.request_counts[0xB7]);
    EXPECT_TRUE((version == FwVersion{9, 9, 9, 9}));
}

// The version block ends at 0xFFFF1: Image 0 needs more than 0xFFFF2 bytes to hold it.
TEST_F(Versions, ImageVersionLimits) {
    gSettings.gDbgMsg = 1;
    const std::string image1_line = "TotalByte1: 0x5 = 0 KB\n";
    const struct {
        std::size_t size;
        int result;
        std::string output;
    } cases[]{{0xFFFF2, rc::done, "TotalByte0: 0xFFFF2 = 1023 KB\n" + image1_line},
              {0xFFFF3, rc::done,
               "TotalByte0: 0xFFFF3 = 1023 KB\nBinFile0 Version=2.13.15.5\n" + image1_line},
              {0x200000, rc::done,
               "TotalByte0: 0x200000 = 2048 KB\nBinFile0 Version=2.13.15.5\n" + image1_line},
              // The update's rules: at least 512 KiB, at most 2 MiB.
              {0x7FFFF, rc::failed, "TotalByte0: 0x7FFFF = 511 KB\n  BinFile0 Size Error\n"},
              {0x200001, rc::failed, "TotalByte0: 0x200001 = 2048 KB\n  BinFile0 Size Error\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        write_image0(c.size, 5);
        FwVersion version{7, 7, 7, 7};
        EXPECT_EQ(c.output,
                  capture_stdout([&] { EXPECT_EQ(c.result, read_image_version(&version)); }));
        const bool has_version = c.output.find("Version=") != std::string::npos;
        EXPECT_TRUE(version == (has_version ? FwVersion{2, 13, 15, 5} : FwVersion{7, 7, 7, 7}));
    }
}

TEST_F(Versions, ImageVersionFileFailures) {
    const auto read = [] {
        return capture_stdout([] { EXPECT_EQ(rc::failed, read_image_version(nullptr)); });
    };
    write_image0(0xFFFF3, 4);
    std::filesystem::remove(dir_.file("image1.bin"));
    EXPECT_EQ("BinFile0 Version=2.13.15.4\n!!!Open BinFile1 Fail\n", read());
    // Image 1 by the update's rules: 1 byte to 512 KiB.
    for (const auto& [size, line] :
         {std::pair<std::size_t, const char*>{0x200001, "  BinFile1 Size Error\n"},
          {0x80001, "  BinFile1 Size Error\n"},
          {0, "  BinFile1 Size Error\n"}}) {
        dir_.write("image1.bin", Bytes(size, 1));
        EXPECT_EQ(std::string("BinFile0 Version=2.13.15.4\n") + line, read()) << size;
    }
    chip_test::fail_image_buffer = true;
    EXPECT_EQ("!!!No memory for BinFile 0\n", read());
    chip_test::fail_image_buffer = false;
    std::filesystem::remove(dir_.file("image0.bin"));
    EXPECT_EQ("!!!Open BinFile0 Fail\n", read());
}

} // namespace
