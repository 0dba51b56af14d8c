// The full update: the register values in order, every pause, both images, the banners; an image
// that went missing after the load, and a stop signal before the first write; the event channel
// of each, and one that cannot take its events.
#include "chip_test.h"
#include "expected_text.h"
#include "stop_signals.h"
#include "test_device.h"
#include "tool_events.h"
#include "update_geometry.h"
#include "update_sequence.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>

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

// The event channel on a pipe of `size` bytes (0: the default), its read end not blocking.
class EventChannel : public UpdateSequence {
  protected:
    void open(int size = 0) {
        close_ends();
        ASSERT_EQ(pipe2(ends_, O_CLOEXEC | O_NONBLOCK), 0);
        if (size != 0) {
            ASSERT_EQ(fcntl(ends_[1], F_SETPIPE_SZ, size), size);
        }
        gSettings.gEventFd = static_cast<uint32_t>(ends_[1]);
        open_event_channel();
    }
    void TearDown() override {
        gSettings.gEventFd = 0;
        open_event_channel(); // no channel any more
        close_ends();
        UpdateSequence::TearDown();
    }
    void close_ends() {
        for (int& end : ends_) {
            if (end >= 0) {
                close(end);
                end = -1;
            }
        }
    }
    // What the channel holds.
    [[nodiscard]] std::string events() const {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = read(ends_[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    int ends_[2] = {-1, -1};
};

std::string register_event(const char* value) {
    return R"({"v":1,"event":"register","address":"0x5000","value":"0x)" + std::string(value) +
           "\"}\n";
}

// The events of an image of `size` bytes of which `sent` blocks were written (all by default).
std::string image_events(int image, std::size_t size, std::optional<std::size_t> sent = {}) {
    const std::string number = std::to_string(image);
    const std::string blocks = std::to_string(update_geometry::blocks(size));
    std::string text = R"({"v":1,"event":"image","image":)" + number +
                       ",\"bytes\":" + std::to_string(size) + ",\"blocks\":" + blocks + "}\n";
    for (std::size_t block = 1; block <= sent.value_or(update_geometry::blocks(size)); ++block) {
        text += R"({"v":1,"event":"block","image":)" + number +
                ",\"block\":" + std::to_string(block) + ",\"blocks\":" + blocks + "}\n";
    }
    return text;
}

// Each step and block of an update, and the result with the first failure line and its libusb
// error; the console as without the channel.
TEST_F(EventChannel, SaysEveryStepBlockAndTheFirstFailure) {
    open();
    EXPECT_TRUE(update(rc::done).ends_with(pass_banner));
    event_result(0);
    EXPECT_EQ(events(), register_event("0010") + register_event("0011") +
                            image_events(1, image1_.size()) + register_event("0012") +
                            register_event("0020") + image_events(0, image0_.size()) +
                            register_event("0110") +
                            R"({"v":1,"event":"result","mode":"update","exit_status":0})" + "\n");
    open();
    test_device::reset({.fault = {chip_model::FaultKind::stall, 0xB8, 40}});
    EXPECT_EQ(update(rc::failed), "Tovrela_Reg_Write 5000=0010\nTovrela_Reg_Write 5000=0011\n"
                                  "Tovrela_Flash_Write FW1\nI2C-WriteCmd B8 Fail -9\n" +
                                      fail_banner);
    EXPECT_EQ(event_result(-5), -5);
    EXPECT_EQ(events(), register_event("0010") + register_event("0011") +
                            image_events(1, image1_.size(), 0) +
                            R"({"v":1,"event":"result","mode":"update","exit_status":251,)"
                            R"("failure":"I2C-WriteCmd B8 Fail -9","libusb_error":-9,)"
                            R"("unfinished_command":true})"
                            "\n");
    // The chip is left in the middle of a command when it took one and did not report it
    // finished: not when it refused the command frame, but when its status was never read to the
    // end.
    for (const auto& [fault, unfinished] :
         {std::pair{chip_model::Fault{chip_model::FaultKind::stall, 0xB2, 2}, false},
          std::pair{chip_model::Fault{chip_model::FaultKind::stall, 0xA3, 1}, true}}) {
        open();
        test_device::reset({.fault = fault});
        update(rc::failed);
        event_result(1);
        EXPECT_EQ(events().find(R"("unfinished_command":true)") != std::string::npos, unfinished)
            << static_cast<int>(fault.request);
    }
}

// A channel that cannot take the events never stops the update: a full pipe that is never read
// drops events (whole lines stay whole), a closed reader or a descriptor that is not open ends the
// channel, the latter with a warning.
TEST_F(EventChannel, ThatCannotTakeTheEventsStopsNothing) {
    ignore_broken_pipe();
    open(8192);
    EXPECT_TRUE(update(rc::done).ends_with(pass_banner));
    const std::string kept = events();
    EXPECT_FALSE(kept.empty());
    EXPECT_LE(kept.size(), static_cast<std::size_t>(fcntl(ends_[1], F_GETPIPE_SZ)));
    EXPECT_TRUE(kept.ends_with("}\n")) << kept;
    EXPECT_EQ(std::count(kept.begin(), kept.end(), '{'),
              std::count(kept.begin(), kept.end(), '\n'));

    open();
    close(ends_[0]);
    ends_[0] = -1;
    test_device::reset();
    EXPECT_TRUE(update(rc::done).ends_with(pass_banner));

    gSettings.gEventFd = 999;
    const std::string warning = capture_stdout([] { open_event_channel(); }, 2);
    EXPECT_EQ(warning, "tovrela-update: warning: -eventfd=999: Bad file descriptor; no events "
                       "are written\n");
    test_device::reset();
    EXPECT_TRUE(update(rc::done).ends_with(pass_banner));
    EXPECT_EQ(test_device::chip().history.flashed[0], image0_);
}

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
// The stop line is an event of its own, and the result's failure line.
TEST_F(EventChannel, StopBeforeTheFirstRegisterWriteTouchesNothing) {
    EXPECT_EXIT(
        {
            open();
            hold_stop_signals();
            std::raise(SIGTERM);
            const std::string text = update(rc::failed);
            event_result(128 + SIGTERM);
            const std::string line =
                "Stopped by SIGTERM before the first register write; the chip was not touched";
            const bool as_expected =
                text == line + "\n" + fail_banner &&
                test_device::chip().history.transfers.empty() &&
                events() == R"({"v":1,"event":"stop","signal":"SIGTERM","line":")" + line +
                                "\"}\n" +
                                R"({"v":1,"event":"result","mode":"update","exit_status":143,)" +
                                R"("failure":")" + line + "\"}\n";
            std::fprintf(stderr, "%s", as_expected ? "stopped" : text.c_str());
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "^stopped$");
}

} // namespace
