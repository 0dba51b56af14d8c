// The flash image writer: the CRC, the largest images, one block on the wire with
// its pauses, the block timeout, a missing image and no memory for it.
#include "chip_test.h"
#include "flash_writer.h"
#include "update_geometry.h"

#include <algorithm>

namespace {

using namespace chip_test;

class FlashWriter : public ChipTest {
  protected:
    // The chip with the flash window of `image` open, as after its register writes.
    static void reset_chip(const chip_model::Config& config, int image = 1) {
        test_device::reset(config);
        chip_model::open_image_window(test_device::chip(), image);
    }
    void SetUp() override {
        ChipTest::SetUp();
        reset_chip({});
    }
    static std::string flash(uint8_t selector, int expected_result) {
        return capture_stdout([&] {
            EXPECT_EQ(expected_result, Tovrela_Flash_Write(test_device::handle(), selector));
        });
    }
};

TEST(FlashBlockCrc, KnownValues) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(0xEB62, flash_block_crc(abc, 3));
    EXPECT_EQ(0x1021, flash_block_crc(abc, 0));
}

// The largest images are taken; the sizes refused are roads of the end-to-end tests.
TEST_F(FlashWriter, LargestImagesAreWrittenWhole) {
    for (const auto& [selector, size] :
         {std::pair<uint8_t, std::size_t>{0, 0x200000}, {1, 0x80000}}) {
        const Bytes bytes = write_image(selector, size);
        reset_chip({}, selector);
        // 128 blocks or more: every percentage from 01 to 99 is shown once.
        const std::string text = flash(selector, rc::done);
        EXPECT_TRUE(text.starts_with("Tovrela_Flash_Write FW" + std::to_string(selector) +
                                     "\n\rprogress=01%\rprogress=02%"));
        EXPECT_TRUE(text.ends_with("\rprogress=98%\rprogress=99%\n"));
        EXPECT_EQ(std::ranges::count(text, '\r'), 99);
        EXPECT_EQ("", chip_model::verdict(test_device::chip()));
        EXPECT_TRUE(test_device::chip().history.flashed[selector] == bytes);
    }
}

TEST_F(FlashWriter, OneShortBlockOnTheWire) {
    dir_.write("image1.bin", std::string("abc"));
    reset_chip({.busy_replies = 2, .fault = {}});
    gSettings.gDbgMsg = 0x100; // no size line: only the low 8 bits of DbgMsg count
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\n", flash(1, rc::done));
    EXPECT_EQ("B2:9 B7:9 B8:3 B9:4 123000 321000 A3:8 321000 A3:8 321000 A3:8", schedule());
    const auto& t = test_device::chip().history.transfers;
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3}), t[0].data);
    EXPECT_EQ((Bytes{0xE6, 0, 0, 0, 0, 0, 0, 0, 3}), t[1].data);
    EXPECT_EQ((Bytes{'a', 'b', 'c'}), t[2].data);
    EXPECT_EQ((Bytes{0x00, 0x00, 0xEB, 0x62}), t[3].data);
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
}

TEST_F(FlashWriter, SelectorOtherThanZeroMeansImage1) {
    const Bytes bytes = write_image(1, 100);
    gSettings.gDbgMsg = 1;
    EXPECT_EQ("Tovrela_Flash_Write FW2\nTotalByte: 0x64 = 0 KB\n\n", flash(2, rc::done));
    EXPECT_TRUE(test_device::chip().history.flashed[1] == bytes);
    chip_test::set_path(gSettings.gTovrelaBin1, dir_.file("missing.bin"));
    EXPECT_EQ("Tovrela_Flash_Write FW2\n!!!Open BinFile 2 Fail\n", flash(2, rc::failed));
}

// Ten status reads after the first block's CRC, then the writer gives up.
TEST_F(FlashWriter, BlockTimeout) {
    write_image(1, 2 * update_geometry::block_size);
    reset_chip({.fault = {FaultKind::never_finish, 0xA3, 2}});
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\rprogress=50%\nTovrela_FFW_Tout\n\t read-loop = A\n\n",
              flash(1, rc::failed));
    EXPECT_EQ(11u, test_device::chip().faults.request_counts[0xA3]);
}

TEST_F(FlashWriter, NoMemoryForTheImageSendsNothing) {
    write_image(1, 100);
    chip_test::fail_image_buffer = true;
    EXPECT_EQ("Tovrela_Flash_Write FW1\n!!!No memory for BinFile 1\n", flash(1, rc::failed));
    EXPECT_TRUE(test_device::chip().history.transfers.empty());
}

} // namespace
