// The flash image writer: size rules, block layout, CRC, pauses, progress and every failure.
#include "chip_test_helpers.h"
#include "flash_writer.h"

#include <gtest/gtest.h>

#include <new>

// The image buffers of the writer and of the image version reading are arrays taken with
// new (std::nothrow); while chip_test::fail_image_buffer is set, every such request fails.
bool chip_test::fail_image_buffer = false;

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (chip_test::fail_image_buffer) {
        return nullptr;
    }
    // The array form, which delete[] undoes (AddressSanitizer checks the pairing).
    try {
        return ::operator new[](size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

using chip_model::FaultKind;
using chip_test::Bytes;
using chip_test::output_of;
using chip_test::schedule;

class FlashWriter : public chip_test::ChipTest {
  protected:
    // The chip with the flash window of `image` open, as after its register writes.
    static void reset_device(const chip_model::Config& config, int image = 1) {
        test_device::reset(config);
        test_device::chip().phase =
            image == 0 ? chip_model::Phase::image0 : chip_model::Phase::image1;
    }
    void SetUp() override {
        ChipTest::SetUp();
        reset_device({});
    }

    static std::string flash(uint8_t selector, int expected_result) {
        return output_of([&] {
            EXPECT_EQ(expected_result, Tovrela_Flash_Write(test_device::handle(), selector));
        });
    }

    // The sizes of the data pieces of each block, in order.
    static std::vector<std::vector<std::size_t>> pieces() {
        std::vector<std::vector<std::size_t>> blocks;
        for (const auto& t : test_device::chip().transfers) {
            if (t.request == 0xB7) {
                blocks.emplace_back();
            } else if (t.request == 0xB8 && !blocks.empty()) {
                blocks.back().push_back(t.data.size());
            }
        }
        return blocks;
    }

    // The chip confirmed every block and holds exactly `bytes` as Image `image`.
    static void expect_flashed(int image, const Bytes& bytes) {
        EXPECT_EQ("", chip_model::verdict(test_device::chip()));
        EXPECT_TRUE(test_device::chip().flashed[static_cast<std::size_t>(image)] == bytes);
        EXPECT_EQ((bytes.size() + 4095) / 4096,
                  test_device::chip().blocks_confirmed[static_cast<std::size_t>(image)]);
    }
};

TEST(FlashBlockCrc, KnownValuesAndAFullBlock) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(0xEB62, flash_block_crc(abc, 3));
    EXPECT_EQ(0x1021, flash_block_crc(abc, 0));
    const Bytes block = test_files::pattern_bytes(4096, 1);
    EXPECT_EQ(chip_model::block_crc(block.data(), block.size()),
              flash_block_crc(block.data(), block.size()));
}

TEST_F(FlashWriter, SizeRules) {
    const struct {
        uint8_t selector;
        std::size_t size;
        const char* refusal; // null when the image is written
    } cases[]{{0, 0x7FFFF, "  BinFile0 Size Error\n"},
              {0, 0x80000, nullptr},
              {0, 0x200000, nullptr},
              {0, 0x200001, "  BinFile Size Error\n"},
              {1, 0, "  BinFile1 Size Error\n"}, // nothing to send is no success
              {1, 0x80000, nullptr},
              {1, 0x80001, "  BinFile1 Size Error\n"},
              {1, 0x200001, "  BinFile Size Error\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "Image " << int{c.selector} << " of " << c.size);
        const Bytes bytes = write_image(c.selector, c.size);
        reset_device({}, c.selector);
        const std::string head = "Tovrela_Flash_Write FW" + std::to_string(c.selector) + "\n";
        if (c.refusal != nullptr) {
            EXPECT_EQ(head + c.refusal, flash(c.selector, 0));
            EXPECT_TRUE(test_device::chip().transfers.empty());
            continue;
        }
        // Accepted sizes have 128 blocks or more: every percentage from 01 to 99 is shown.
        EXPECT_EQ(head + chip_test::progress_lines(1, 99) + "\n", flash(c.selector, 1));
        expect_flashed(c.selector, bytes);
    }
}

// The length is taken whole: 4 GiB + 16 bytes must not pass as 16 bytes.
TEST_F(FlashWriter, LengthBeyond32BitsIsASizeError) {
    gSettings.gDbgMsg = 1;
    if (!chip_test::make_sparse_file(dir_.file("image1.bin"), 0x100000010ull)) {
        GTEST_SKIP() << "no sparse file of 4 GiB here";
    }
    EXPECT_EQ(
        "Tovrela_Flash_Write FW1\nTotalByte: 0x100000010 = 4194304 KB\n  BinFile Size Error\n",
        flash(1, 0));
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

TEST_F(FlashWriter, BlocksAreCutIntoPiecesOf32) {
    const std::vector<std::size_t> full(128, 32);
    const struct {
        std::size_t size;
        std::vector<std::size_t> last_pieces;
        const char* progress;
    } cases[]{{0x1021, {32, 1}, "\rprogress=99%"},
              {0x1010, {16}, "\rprogress=99%"},
              {0x2000, full, "\rprogress=50%"}};
    gSettings.gDbgMsg = 0x100; // no size line: only the low 8 bits of DbgMsg count
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes bytes = write_image(1, c.size);
        reset_device({});
        EXPECT_EQ(std::string("Tovrela_Flash_Write FW1\n") + c.progress + "\n", flash(1, 1));
        expect_flashed(1, bytes);
        EXPECT_EQ((std::vector<std::vector<std::size_t>>{full, c.last_pieces}), pieces());
    }
}

TEST_F(FlashWriter, OneShortBlockOnTheWire) {
    dir_.write("image1.bin", std::string("abc"));
    reset_device({.busy_replies = 2, .fault = {}});
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\n", flash(1, 1));
    EXPECT_EQ("B2:9 B7:9 B8:3 B9:4 123000 321000 A3:8 321000 A3:8 321000 A3:8", schedule());
    const auto& t = test_device::chip().transfers;
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3}), t[0].data);
    EXPECT_EQ((Bytes{0xE6, 0, 0, 0, 0, 0, 0, 0, 3}), t[1].data);
    EXPECT_EQ((Bytes{'a', 'b', 'c'}), t[2].data);
    EXPECT_EQ((Bytes{0x00, 0x00, 0xEB, 0x62}), t[3].data);
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
}

TEST_F(FlashWriter, SelectorOtherThanZeroMeansImage1) {
    const Bytes bytes = write_image(1, 100);
    EXPECT_EQ("Tovrela_Flash_Write FW2\n\n", flash(2, 1));
    expect_flashed(1, bytes);
    chip_test::set_path(gSettings.gTovrelaBin1, dir_.file("missing.bin"));
    EXPECT_EQ("Tovrela_Flash_Write FW2\n!!!Open BinFile 2 Fail\n", flash(2, 0));
}

TEST_F(FlashWriter, BlockTimeout) {
    write_image(1, 0x2000);
    reset_device({.fault = {FaultKind::never_finish, 0xA3, 2}});
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\rprogress=50%\nTovrela_FFW_Tout\n\t read-loop = A\n\n",
              flash(1, 0));
    EXPECT_EQ(11u, test_device::chip().request_counts[0xA3]);
}

TEST_F(FlashWriter, TransferFailureEndsTheWriteAtOnce) {
    const struct {
        chip_model::Fault fault;
        const char* output;
    } cases[]{{{FaultKind::stall, 0xB2, 2}, "I2C-WriteCmd B2 Fail -9\n"},   // prepare of block 2
              {{FaultKind::timeout, 0xB7, 1}, "I2C-WriteCmd B7 Fail -7\n"}, // header
              {{FaultKind::no_device, 0xB8, 129}, "I2C-WriteCmd B8 Fail -4\n"},
              {{FaultKind::stall, 0xB9, 2}, "I2C-WriteCmd B9 Fail -9\n"},
              {{FaultKind::timeout, 0xA3, 2}, "\rprogress=50%I2C-ReadCmd A3 Fail -7\n"}};
    write_image(1, 0x2000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        reset_device({.fault = c.fault});
        EXPECT_EQ(std::string("Tovrela_Flash_Write FW1\n") + c.output, flash(1, 0));
        EXPECT_LT(test_device::chip().transfers.back().result, 0) << "sent after the failure";
    }
}

TEST_F(FlashWriter, NoMemoryForTheImageSendsNothing) {
    write_image(1, 100);
    chip_test::fail_image_buffer = true;
    EXPECT_EQ("Tovrela_Flash_Write FW1\n!!!No memory for BinFile 1\n", flash(1, 0));
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

} // namespace
