// The full update: the register values in order, every pause, both images, the banners; an image
// that went missing after the load, and a stop signal before the first write.
#include "chip_test.h"
#include "expected_text.h"
#include "stop_signals.h"
#include "test_device.h"
#include "update_geometry.h"
#include "update_sequence.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace {

using chip_test::Bytes;

using tool_text::fail_banner;
using tool_text::pass_banner;

class UpdateSequence : public chip_test::ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        image0_ = write_image(0, update_geometry::default_sizes.image0, 10); // the smallest
        image1_ = write_image(1, update_geometry::block_size + 33, 11); // 2 blocks, 33 bytes last
    }

    static std::string update(int expected_result) {
        return capture_stdout(
            [&] { EXPECT_EQ(expected_result, update_firmware(test_device::handle())); });
    }

    Bytes image0_;
    Bytes image1_;
};

TEST_F(UpdateSequence, FullUpdate) {
    EXPECT_TRUE(update(rc::done).ends_with("Tovrela_Reg_Write 5000=0110\n" + pass_banner));
    const auto& chip = test_device::chip();
    EXPECT_EQ("", chip_model::verdict(chip));
    EXPECT_EQ((std::vector<uint16_t>{0x0010, 0x0011, 0x0012, 0x0020, 0x0110}),
              chip.history.reg5000_values);
    EXPECT_TRUE(chip.history.flashed[0] == image0_);
    EXPECT_TRUE(chip.history.flashed[1] == image1_);
    // A status pause of 321 ms per register write and per block, 123 ms after each block's CRC,
    // a second after 0x0010 and after 0x0012, two more before the read after 0x0020; nothing else.
    const std::string block = " B2:9 B7:9";
    const std::string s = chip_test::schedule();
    EXPECT_TRUE(s.starts_with("B2:13 321000 A3:8 1000000 B2:13 321000 A3:8" + block)) << s;
    EXPECT_NE(s.find("B9:4 123000 321000 A3:8 B2:13 321000 A3:8 1000000 B2:13 2000000 321000 "
                     "A3:8" +
                     block),
              std::string::npos);
    EXPECT_TRUE(s.ends_with("B9:4 123000 321000 A3:8 B2:13 321000 A3:8")) << s;
    uint64_t paused = 0;
    for (const auto& event : test_device::events()) {
        paused += event.pause_us;
    }
    const std::size_t blocks =
        update_geometry::blocks(image0_.size()) + update_geometry::blocks(image1_.size());
    EXPECT_EQ(paused, 2 * 1000000u + 2000000u + 5 * 321000u + blocks * (123000u + 321000u));
}

// Both images are opened and read before the first register write: an image that went missing
// after the load leaves the chip untouched.
TEST_F(UpdateSequence, MissingImageLeavesTheChipUntouched) {
    for (int image = 0; image < 2; ++image) {
        write_image(0, 0x80000);
        write_image(1, 100);
        std::filesystem::remove(dir_.file(image == 0 ? "image0.bin" : "image1.bin"));
        test_device::reset();
        EXPECT_EQ("!!!Open BinFile " + std::to_string(image) + " Fail\n" + fail_banner,
                  update(rc::failed));
        EXPECT_TRUE(test_device::chip().history.transfers.empty());
    }
}

// A stop signal that came before the first register write: nothing reaches the chip. Run in a
// child process, since a remembered signal stays for the rest of the process.
TEST_F(UpdateSequence, StopBeforeTheFirstRegisterWriteTouchesNothing) {
    EXPECT_EXIT(
        {
            hold_stop_signals();
            std::raise(SIGTERM);
            const std::string text = update(rc::failed);
            const bool as_expected =
                text == "Stopped by SIGTERM before the first register write; the chip was not "
                        "touched\n" +
                            fail_banner &&
                test_device::chip().history.transfers.empty();
            std::fprintf(stderr, "%s", as_expected ? "stopped" : text.c_str());
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "^stopped$");
}

} // namespace
