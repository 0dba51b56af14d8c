// The full update: register 0x5000 sequence, both images, pauses and the closing banner.
#include "chip_test_helpers.h"
#include "stop_signals.h"
#include "update_sequence.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

namespace {

using chip_model::FaultKind;
using chip_test::Bytes;

const std::string banner_line = "\n===========================\n";
const std::string pass_banner =
    banner_line + "= Tovrela_FW_Update_PASS. =\n" + banner_line.substr(1);
const std::string fail_banner =
    banner_line + "= Tovrela_FW_Update_FAIL. =\n" + banner_line.substr(1);

class UpdateSequence : public chip_test::ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        image0_ = write_image(0, 0x80000, 10); // 128 blocks, the smallest Image 0
        image1_ = write_image(1, 0x1021, 11);  // 2 blocks, the last of 33 bytes
    }

    static std::string update(int expected_result) {
        return chip_test::output_of(
            [&] { EXPECT_EQ(expected_result, update_firmware(test_device::handle())); });
    }

    // The frames of the register writes that reached the chip.
    static std::vector<Bytes> register_frames() {
        std::vector<Bytes> frames;
        for (const auto& t : test_device::chip().transfers) {
            if (t.request == 0xB2 && t.length == 13 && t.result >= 0) {
                frames.push_back(t.data);
            }
        }
        return frames;
    }

    Bytes image0_;
    Bytes image1_;
};

TEST_F(UpdateSequence, FullUpdate) {
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\nTovrela_Reg_Write 5000=0011\n"
              "Tovrela_Flash_Write FW1\n\rprogress=99%\n"
              "Tovrela_Reg_Write 5000=0012\nTovrela_Reg_Write 5000=0020\n"
              "Tovrela_Flash_Write FW0\n" +
                  chip_test::progress_lines(1, 99) + "\nTovrela_Reg_Write 5000=0110\n" +
                  pass_banner,
              update(1));

    const auto& chip = test_device::chip();
    EXPECT_EQ("", chip_model::verdict(chip));
    EXPECT_TRUE(chip.flashed[0] == image0_);
    EXPECT_TRUE(chip.flashed[1] == image1_);
    const Bytes head{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00};
    std::vector<Bytes> expected;
    for (const Bytes& tail :
         {Bytes{0x00, 0x10, 0xBC}, Bytes{0x00, 0x11, 0xBD}, Bytes{0x00, 0x12, 0xBE},
          Bytes{0x00, 0x20, 0x8C}, Bytes{0x01, 0x10, 0xBD}}) {
        expected.push_back(head);
        expected.back().insert(expected.back().end(), tail.begin(), tail.end());
    }
    EXPECT_EQ(expected, register_frames());

    // One status pause per register write and per block, 123 ms after each block's CRC frame, a
    // settling second after 0x0010 and after 0x0012, two more before each read after 0x0020.
    std::vector<uint32_t> pauses{321000, 1000000, 321000};
    for (int block = 0; block < 2; ++block) {
        pauses.insert(pauses.end(), {123000, 321000});
    }
    pauses.insert(pauses.end(), {321000, 1000000, 2000000, 321000});
    for (int block = 0; block < 128; ++block) {
        pauses.insert(pauses.end(), {123000, 321000});
    }
    pauses.push_back(321000);
    EXPECT_EQ(pauses, test_device::pauses());
}

// Every step runs only after the one before it succeeded; a failure ends in the FAIL banner.
TEST_F(UpdateSequence, FailingStepEndsWithTheFailBanner) {
    // B2 frames in order: 0x0010, 0x0011, two prepares of Image 1, 0x0012, 0x0020, 128 prepares
    // of Image 0, 0x0110. A3 reads: one per register write and per block.
    const struct {
        chip_model::Fault fault;
        std::size_t writes_sent; // register writes that reached the chip
        const char* tail;        // the output just before the banner
    } cases[]{
        {{FaultKind::stall, 0xB2, 1}, 0, "Tovrela_Reg_Write 5000=0010\nI2C-WriteCmd B2 Fail -9\n"},
        {{FaultKind::never_finish, 0xA3, 2}, 2, "Tovrela_Reg_Write 5000=0011\nTovrela_Reg_Tout\n"},
        {{FaultKind::timeout, 0xA3, 3}, 2, "Tovrela_Flash_Write FW1\nI2C-ReadCmd A3 Fail -7\n"},
        {{FaultKind::stall, 0xB2, 5}, 2, "Tovrela_Reg_Write 5000=0012\nI2C-WriteCmd B2 Fail -9\n"},
        {{FaultKind::stall, 0xA3, 6}, 4, "Tovrela_Reg_Write 5000=0020\nI2C-ReadCmd A3 Fail -9\n"},
        {{FaultKind::timeout, 0xB9, 130}, 4, "\rprogress=98%I2C-WriteCmd B9 Fail -7\n"},
        {{FaultKind::stall, 0xB2, 135},
         4,
         "Tovrela_Reg_Write 5000=0110\nI2C-WriteCmd B2 Fail -9\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        test_device::reset({.fault = c.fault});
        const std::string text = update(0);
        EXPECT_TRUE(text.ends_with(c.tail + fail_banner)) << text;
        EXPECT_EQ(text.find("Tovrela_FW_Update"), text.rfind("Tovrela_FW_Update")) << "one banner";
        EXPECT_EQ(c.writes_sent, register_frames().size());
        EXPECT_EQ("", chip_model::verdict(test_device::chip()));
        if (c.fault.kind != FaultKind::never_finish) {
            EXPECT_LT(test_device::chip().transfers.back().result, 0) << "sent after the failure";
        }
    }
}

// Both images are opened, measured, checked and read before the first register write: an image
// that went missing, shrank or grew after it was found at start-up leaves the chip untouched.
TEST_F(UpdateSequence, ImagesAreCheckedBeforeTheChipIsTouched) {
    const struct {
        int image;
        long size; // -1: the file is gone
        const char* output;
    } cases[]{{0, -1, "!!!Open BinFile 0 Fail\n"},     {0, 0x7FFFF, "  BinFile0 Size Error\n"},
              {0, 0x200001, "  BinFile Size Error\n"}, {1, -1, "!!!Open BinFile 1 Fail\n"},
              {1, 0, "  BinFile1 Size Error\n"},       {1, 0x80001, "  BinFile1 Size Error\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        write_image(0, 0x80000);
        write_image(1, 100);
        const std::string name = c.image == 0 ? "image0.bin" : "image1.bin";
        if (c.size < 0) {
            std::filesystem::remove(dir_.file(name));
        } else {
            write_image(c.image, static_cast<std::size_t>(c.size));
        }
        test_device::reset();
        EXPECT_EQ(c.output + fail_banner, update(0));
        EXPECT_TRUE(test_device::chip().transfers.empty());
    }
}

// A stop signal that came before the first register write: nothing reaches the chip. Run in a
// child process, since a remembered signal stays for the rest of the process.
TEST_F(UpdateSequence, StopBeforeTheFirstRegisterWriteTouchesNothing) {
    EXPECT_EXIT(
        {
            hold_stop_signals();
            std::raise(SIGTERM);
            const std::string text = update(0);
            const bool as_expected =
                text == "Stopped by SIGTERM before the first register write; the chip was not "
                        "touched\n" +
                            fail_banner &&
                test_device::chip().transfers.empty();
            std::fprintf(stderr, "%s", as_expected ? "stopped" : text.c_str());
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "^stopped$");
}

} // namespace
