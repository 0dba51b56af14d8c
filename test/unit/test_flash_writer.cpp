// The flash image writer: size rules, block layout, CRC, pauses, progress and every failure.
#include "flash_writer.h"
#include "settings.h"
#include "test_device.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <ostream>
#include <string>
#include <vector>

// The image buffers of the writer and of the image version reading are 2 MiB arrays taken with
// new (std::nothrow). While this is set, such a request fails as if memory were exhausted.
namespace chip_test {
bool fail_image_buffer = false;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (chip_test::fail_image_buffer && size == 0x200000) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) {
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes prepare_frame{0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3};

// The CRC the other way round: the byte goes into the top of the register, then eight shifts.
uint16_t reference_crc(const uint8_t* bytes, std::size_t count) {
    uint16_t crc = 0x1021;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

Bytes be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// One block as it went over the wire.
struct SentBlock {
    Bytes header;
    std::vector<std::size_t> pieces;
    Bytes data;
    Bytes crc;
};

// The blocks of the successful transfers, each started by its prepare frame.
std::vector<SentBlock> sent_blocks() {
    std::vector<SentBlock> blocks;
    for (const auto& t : test_device::chip().transfers) {
        if (t.result < 0) {
            continue;
        }
        if (t.request == 0xB2 && t.length == 9) {
            EXPECT_EQ(prepare_frame, t.data);
            blocks.emplace_back();
        } else if (t.request == 0xB7 || t.request == 0xB8 || t.request == 0xB9) {
            if (blocks.empty()) {
                ADD_FAILURE() << "flash transfer before a prepare frame";
                return blocks;
            }
            auto& block = blocks.back();
            if (t.request == 0xB7) {
                block.header = t.data;
            } else if (t.request == 0xB8) {
                block.pieces.push_back(t.data.size());
                block.data.insert(block.data.end(), t.data.begin(), t.data.end());
            } else {
                block.crc = t.data;
            }
        }
    }
    return blocks;
}

// Checks that the blocks carry `image` whole, with right headers and CRC frames.
void expect_blocks_carry(const Bytes& image) {
    const auto blocks = sent_blocks();
    ASSERT_EQ((image.size() + 4095) / 4096, blocks.size());
    Bytes joined;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto& block = blocks[i];
        const uint32_t offset = static_cast<uint32_t>(i * 4096);
        const uint32_t length =
            static_cast<uint32_t>(std::min<std::size_t>(image.size() - offset, 4096));
        Bytes header{0xE6};
        for (uint32_t field : {offset, length}) {
            const Bytes bytes = be32(field);
            header.insert(header.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(header, block.header) << "block " << i;
        const uint16_t crc = reference_crc(image.data() + offset, length);
        EXPECT_EQ((Bytes{0, 0, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}),
                  block.crc)
            << "block " << i;
        joined.insert(joined.end(), block.data.begin(), block.data.end());
    }
    EXPECT_TRUE(joined == image) << "the data pieces do not add up to the image";
}

std::string progress_lines(int first, int last) {
    std::string text;
    for (int percent = first; percent <= last; ++percent) {
        char line[32];
        std::snprintf(line, sizeof line, "\rprogress=%02d%%", percent);
        text += line;
    }
    return text;
}

class FlashWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = gSettings;
        gSettings.gDbgMsg = 0;
        set_path(gSettings.gTovrelaBin0, dir_.file("image0.bin"));
        set_path(gSettings.gTovrelaBin1, dir_.file("image1.bin"));
        reset_device({});
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

    // The chip with the flash window of `image` open, as after its register writes.
    static void reset_device(const chip_model::Config& config, int image = 1) {
        test_device::reset(config);
        test_device::chip().phase =
            image == 0 ? chip_model::Phase::image0 : chip_model::Phase::image1;
    }

    Bytes write_image(int image, std::size_t size, uint32_t seed = 7) {
        Bytes bytes = test_files::pattern_bytes(size, seed);
        dir_.write(image == 0 ? "image0.bin" : "image1.bin", bytes);
        return bytes;
    }

    // Runs the writer and returns its output.
    static std::string flash(uint8_t selector, int expected_result) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(expected_result, Tovrela_Flash_Write(test_device::handle(), selector));
        return testing::internal::GetCapturedStdout();
    }

    test_files::TempDir dir_;

  private:
    RunSettings saved_;
};

// Transfers and pauses of one run as short words.
std::vector<std::string> schedule() {
    std::vector<std::string> steps;
    for (const auto& event : test_device::events()) {
        if (event.kind == test_device::Event::Kind::pause) {
            steps.push_back("pause " + std::to_string(event.pause_us));
        } else {
            const auto& t = test_device::chip().transfers[event.transfer];
            char word[16];
            std::snprintf(word, sizeof word, "%02X:%u", t.request, t.length);
            steps.emplace_back(word);
        }
    }
    return steps;
}

// --- CRC ---

TEST(FlashBlockCrc, KnownValues) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(0xEB62, flash_block_crc(abc, 3));
    EXPECT_EQ(0xEB62, reference_crc(abc, 3));
    EXPECT_EQ(0x1021, flash_block_crc(abc, 0));
}

TEST(FlashBlockCrc, FullBlockMatchesIndependentComputations) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        const Bytes block = test_files::pattern_bytes(4096, seed);
        EXPECT_EQ(reference_crc(block.data(), block.size()),
                  flash_block_crc(block.data(), block.size()));
        EXPECT_EQ(chip_model::block_crc(block.data(), block.size()),
                  flash_block_crc(block.data(), block.size()));
    }
}

// --- size rules ---

struct SizeCase {
    const char* name;
    uint8_t selector;
    std::size_t size;
    const char* refusal; // nullptr when the image is written
};
void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.name;
}

class SizeRule : public FlashWriter, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeRule, DecidesWhetherTheImageIsWritten) {
    const auto& param = GetParam();
    const int image = param.selector == 0 ? 0 : 1;
    const Bytes bytes = write_image(image, param.size);
    reset_device({}, image);
    const std::string head = "Tovrela_Flash_Write FW" + std::to_string(param.selector) + "\n";
    if (param.refusal != nullptr) {
        EXPECT_EQ(head + param.refusal, flash(param.selector, 0));
        EXPECT_TRUE(test_device::chip().transfers.empty());
        return;
    }
    // Both accepted sizes are of 128 blocks or more: every percentage from 01 to 99 is shown.
    EXPECT_EQ(head + progress_lines(1, 99) + "\n", flash(param.selector, 1));
    expect_blocks_carry(bytes);
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
    EXPECT_TRUE(test_device::chip().flashed[image] == bytes);
}

INSTANTIATE_TEST_SUITE_P(
    FlashWriter, SizeRule,
    ::testing::Values(SizeCase{"image0_below_minimum", 0, 0x7FFFF, "  BinFile0 Size Error\n"},
                      SizeCase{"image0_minimum", 0, 0x80000, nullptr},
                      SizeCase{"image0_maximum", 0, 0x200000, nullptr},
                      SizeCase{"image0_above_maximum", 0, 0x200001, "  BinFile Size Error\n"},
                      SizeCase{"image1_maximum", 1, 0x80000, nullptr},
                      SizeCase{"image1_above_maximum", 1, 0x80001, "  BinFile1 Size Error\n"},
                      SizeCase{"image1_above_general_rule", 1, 0x200001, "  BinFile Size Error\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashWriter, EmptyImage1SendsNothing) {
    write_image(1, 0);
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\n", flash(1, 0));
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

TEST_F(FlashWriter, LengthBeyond32BitsIsASizeError) {
    gSettings.gDbgMsg = 1;
    std::ofstream(dir_.file("image1.bin")).close();
    std::error_code error;
    std::filesystem::resize_file(dir_.file("image1.bin"), 0x100000010ull, error);
    if (error) {
        GTEST_SKIP() << "no sparse file of 4 GiB here: " << error.message();
    }
    EXPECT_EQ(
        "Tovrela_Flash_Write FW1\nTotalByte: 0x100000010 = 4194304 KB\n  BinFile Size Error\n",
        flash(1, 0));
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

// --- block layout ---

struct LayoutCase {
    const char* name;
    std::size_t size;
    std::vector<std::size_t> last_pieces;
    const char* progress;
};
void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class BlockLayout : public FlashWriter, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(BlockLayout, BlocksHeadersPiecesAndCrc) {
    const auto& param = GetParam();
    const Bytes bytes = write_image(1, param.size);
    EXPECT_EQ(std::string("Tovrela_Flash_Write FW1\n") + param.progress + "\n", flash(1, 1));
    expect_blocks_carry(bytes);
    const auto blocks = sent_blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(param.last_pieces, blocks.back().pieces);
    if (blocks.size() > 1) {
        EXPECT_EQ(std::vector<std::size_t>(128, 32), blocks.front().pieces);
    }
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
    EXPECT_TRUE(test_device::chip().flashed[1] == bytes);
}

INSTANTIATE_TEST_SUITE_P(
    FlashWriter, BlockLayout,
    ::testing::Values(LayoutCase{"last_block_of_33", 0x1021, {32, 1}, "\rprogress=99%"},
                      LayoutCase{"last_block_of_16", 0x1010, {16}, "\rprogress=99%"},
                      LayoutCase{"two_full_blocks", 0x2000, std::vector<std::size_t>(128, 32),
                                 "\rprogress=50%"},
                      LayoutCase{"one_short_block", 3, {3}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashWriter, AbcBlockIsClosedByItsCrcFrame) {
    dir_.write("image1.bin", std::string("abc"));
    flash(1, 1);
    const auto blocks = sent_blocks();
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ((Bytes{0xE6, 0, 0, 0, 0, 0, 0, 0, 3}), blocks[0].header);
    EXPECT_EQ((Bytes{0x00, 0x00, 0xEB, 0x62}), blocks[0].crc);
}

TEST_F(FlashWriter, PauseScheduleOfABlock) {
    write_image(1, 33);
    reset_device({.busy_replies = 2, .fault = {}});
    flash(1, 1);
    EXPECT_EQ((std::vector<std::string>{"B2:9", "B7:9", "B8:32", "B8:1", "B9:4", "pause 123000",
                                        "pause 321000", "A3:8", "pause 321000", "A3:8",
                                        "pause 321000", "A3:8"}),
              schedule());
}

TEST_F(FlashWriter, SelectorOtherThanZeroMeansImage1) {
    const Bytes bytes = write_image(1, 100);
    EXPECT_EQ("Tovrela_Flash_Write FW2\n\n", flash(2, 1));
    EXPECT_TRUE(test_device::chip().flashed[1] == bytes);

    set_path(gSettings.gTovrelaBin1, dir_.file("missing.bin"));
    EXPECT_EQ("Tovrela_Flash_Write FW2\n!!!Open BinFile 2 Fail\n", flash(2, 0));
}

TEST_F(FlashWriter, SizeLineOnlyWithLowBitsOfDbgMsg) {
    write_image(1, 0x1021);
    gSettings.gDbgMsg = 0x100;
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\rprogress=99%\n", flash(1, 1));
    reset_device({});
    gSettings.gDbgMsg = 0x01;
    EXPECT_EQ("Tovrela_Flash_Write FW1\nTotalByte: 0x1021 = 4 KB\n\rprogress=99%\n", flash(1, 1));
}

// --- failures ---

TEST_F(FlashWriter, BlockTimeout) {
    write_image(1, 0x2000);
    reset_device({.fault = {chip_model::FaultKind::never_finish, 0xA3, 2}});
    EXPECT_EQ("Tovrela_Flash_Write FW1\n\rprogress=50%\nTovrela_FFW_Tout\n\t read-loop = A\n\n",
              flash(1, 0));
    EXPECT_EQ(11u, test_device::chip().request_counts[0xA3]);
}

struct FailureCase {
    const char* name;
    chip_model::Fault fault;
    const char* output;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class TransferFailure : public FlashWriter, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransferFailure, EndsTheWriteAtOnce) {
    write_image(1, 0x2000);
    reset_device({.fault = GetParam().fault});
    EXPECT_EQ(GetParam().output, flash(1, 0));
    const auto& transfers = test_device::chip().transfers;
    ASSERT_FALSE(transfers.empty());
    EXPECT_LT(transfers.back().result, 0) << "nothing is sent after the failed transfer";
}

using chip_model::FaultKind;
INSTANTIATE_TEST_SUITE_P(
    FlashWriter, TransferFailure,
    ::testing::Values(FailureCase{"prepare",
                                  {FaultKind::stall, 0xB2, 2},
                                  "Tovrela_Flash_Write FW1\nI2C-WriteCmd B2 Fail -9\n"},
                      FailureCase{"header",
                                  {FaultKind::timeout, 0xB7, 1},
                                  "Tovrela_Flash_Write FW1\nI2C-WriteCmd B7 Fail -7\n"},
                      FailureCase{"first_piece_of_second_block",
                                  {FaultKind::no_device, 0xB8, 129},
                                  "Tovrela_Flash_Write FW1\nI2C-WriteCmd B8 Fail -4\n"},
                      FailureCase{"last_piece",
                                  {FaultKind::timeout, 0xB8, 256},
                                  "Tovrela_Flash_Write FW1\nI2C-WriteCmd B8 Fail -7\n"},
                      FailureCase{"crc",
                                  {FaultKind::stall, 0xB9, 2},
                                  "Tovrela_Flash_Write FW1\nI2C-WriteCmd B9 Fail -9\n"},
                      FailureCase{
                          "status",
                          {FaultKind::timeout, 0xA3, 2},
                          "Tovrela_Flash_Write FW1\n\rprogress=50%I2C-ReadCmd A3 Fail -7\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashWriter, NoMemoryForTheImage) {
    write_image(1, 100);
    chip_test::fail_image_buffer = true;
    EXPECT_EQ("Tovrela_Flash_Write FW1\n!!!No memory for BinFile 1\n", flash(1, 0));
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

TEST_F(FlashWriter, ShortReadSendsNothing) {
    // A kernel attribute file: its length says 4096 bytes, a read delivers far fewer.
    const std::string path = "/sys/kernel/mm/transparent_hugepage/enabled";
    std::error_code error;
    if (std::filesystem::file_size(path, error) != 4096 || error) {
        GTEST_SKIP() << "no short-reading file here";
    }
    set_path(gSettings.gTovrelaBin1, path);
    const std::string text = flash(1, 0);
    EXPECT_EQ(0u, text.rfind("Tovrela_Flash_Write FW1\n!!!Read BinFile 1 Fail: ", 0)) << text;
    EXPECT_TRUE(text.ends_with(" of 4096 bytes\n")) << text;
    EXPECT_TRUE(test_device::chip().transfers.empty());
}

} // namespace
