// The vendor requests and the chip's command channel: frames, the test of a status reply,
// register write with its poll, the failures of a register read. The chip's verdict checks every
// setup field and the timeout of each request.
#include "chip_channel.h"
#include "chip_test.h"
#include "vendor_requests.h"

namespace {

using namespace chip_test;
using ChipChannel = ChipTest;

const chip_model::Transfer& transfer(std::size_t i) {
    return test_device::chip().history.transfers.at(i);
}

libusb_device_handle* const hub = test_device::handle();

TEST_F(ChipChannel, CommandFramesHoldAtMost127Bytes) {
    // The frames fixed when the tool is built come from the same builder, at compile time.
    constexpr auto fixed = command_frame(std::array<uint8_t, 1>{0x00});
    EXPECT_EQ((std::array<uint8_t, 5>{0xE6, 0x51, 0x81, 0x00, 0x36}), fixed);
    Bytes frame(132, 0x5A);
    ASSERT_EQ(rc::done, wrap_command_frame(nullptr, 0, frame.data()));
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x80, 0x37}), Bytes(frame.begin(), frame.begin() + 4));
    const Bytes payload(128, 0);
    ASSERT_EQ(rc::done, wrap_command_frame(payload.data(), 127, frame.data()));
    EXPECT_EQ(0xFF, frame[2]);
    EXPECT_EQ(0xE6 ^ 0x51 ^ 0xFF, frame[130]);
    frame.assign(132, 0x5A);
    EXPECT_EQ("Tovrela_Warp_Over\n", capture_stdout([&] {
                  EXPECT_EQ(rc::failed, wrap_command_frame(payload.data(), 128, frame.data()));
              }));
    EXPECT_EQ(Bytes(132, 0x5A), frame);
}

TEST_F(ChipChannel, StatusReplyIsJudgedByStateAndCheckByte) {
    const struct {
        Bytes reply;
        ChipStatus expected;
    } cases[]{
        {{0x00, 0, 0, 0, 0, 0, 0x0C, 0xBA}, ChipStatus::finished},
        {{0x77, 0, 0, 0, 0, 0, 0x0C, 0xBA}, ChipStatus::finished}, // byte 0 is not checked
        {{0, 1, 2, 4, 8, 0x10, 0x0C, 0xBA ^ 0x1F}, ChipStatus::finished},
        {{0, 0, 0, 0, 0, 0, 0x0C, 0xBB}, ChipStatus::not_finished},        // wrong check byte
        {{0, 0, 0, 0, 0, 0, 0x0D, 0xB6 ^ 0x0D}, ChipStatus::not_finished}, // wrong state
        // Short, although the cleared byte 7 equals the check value of bytes 1 to 6.
        {{0x7D, 0x45, 0x1C, 0xC2, 0x2D, 0x0C, 0x0C}, ChipStatus::not_finished},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        test_device::reset();
        test_device::queue_in_replies({c.reply});
        EXPECT_EQ(c.expected, read_chip_status(hub));
        EXPECT_EQ(0xE7, transfer(0).index);
        EXPECT_EQ("A3:8", schedule());
    }
}

TEST_F(ChipChannel, RegisterWriteFrameAndItsPauses) {
    gSettings.gDbgMsg = 1;
    test_device::reset({.busy_replies = 2, .fault = {}});
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\n    read-loop = 2\n",
              capture_stdout([] { EXPECT_EQ(rc::done, Tovrela_Reg_Write(hub, 0x5000, 0x0010)); }));
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x10, 0xBC}),
              transfer(0).data);
    EXPECT_EQ("B2:13 321000 A3:8 321000 A3:8 321000 A3:8", schedule());
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
    // The value 0x0020 erases: each of its status reads waits two seconds more.
    test_device::reset();
    test_device::queue_in_replies({Bytes(8, 0), {0, 0, 0, 0, 0, 0, 0x0C, 0xBA}});
    capture_stdout([] { EXPECT_EQ(rc::done, Tovrela_Reg_Write(hub, 0x1234, 0x0020)); });
    EXPECT_EQ("B2:13 2000000 321000 A3:8 2000000 321000 A3:8", schedule());
}

// At most ten status reads, each after 321 ms; a failed transfer ends the poll; the read-loop
// line needs the low 8 bits of DbgMsg.
TEST_F(ChipChannel, RegisterWritePoll) {
    using chip_model::Config;
    const struct {
        Config config;
        uint32_t dbg;
        int result;
        int more_reads;     // status reads after the first
        const char* output; // after the Tovrela_Reg_Write line
    } cases[]{
        {Config{}, 0x80, rc::done, 0, "    read-loop = 0\n"},
        {{.busy_replies = 9, .fault = {}}, 0x01, rc::done, 9, "    read-loop = 9\n"},
        {{.busy_replies = 10, .fault = {}},
         0x01,
         rc::failed,
         9,
         "Tovrela_Reg_Tout\n    read-loop = A\n"},
        {{.busy_replies = 10, .fault = {}}, 0x100, rc::failed, 9, "Tovrela_Reg_Tout\n"},
        {{.busy_replies = 3, .fault = {FaultKind::no_device, 0xA3, 2}},
         0x01,
         rc::failed,
         1,
         "I2C-ReadCmd A3 Fail -4\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        gSettings.gDbgMsg = c.dbg;
        test_device::reset(c.config);
        EXPECT_EQ(std::string("Tovrela_Reg_Write 5000=0010\n") + c.output, capture_stdout([&] {
                      EXPECT_EQ(c.result, Tovrela_Reg_Write(hub, 0x5000, 0x0010));
                  }));
        std::string expected = "B2:13 321000 A3:8";
        for (int i = 0; i < c.more_reads; ++i) {
            expected += " 321000 A3:8";
        }
        EXPECT_EQ(expected, schedule());
    }
    test_device::reset({.fault = {FaultKind::short_reply, 0xB2, 1}});
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\nI2C-WriteCmd B2 Short 6 of 13\n", capture_stdout([] {
                  EXPECT_EQ(rc::failed, Tovrela_Reg_Write(hub, 0x5000, 0x0010));
              }));
    EXPECT_EQ("B2:13", schedule());
}

TEST_F(ChipChannel, RegisterReadFailuresLeaveTheValueAlone) {
    const struct {
        chip_model::Fault fault;
        const char* output;
        const char* schedule; // no data phase after a failed address phase
    } cases[]{
        {{FaultKind::stall, 0xB7, 1}, "I2C-WriteCmd B7 Fail -9\n", "B7:3"},
        {{FaultKind::short_reply, 0xB7, 1}, "I2C-WriteCmd B7 Short 1 of 3\n", "B7:3"},
        {{FaultKind::timeout, 0xA3, 1}, "I2C-ReadCmd A3 Fail -7\n", "B7:3 A3:2"},
        {{FaultKind::short_reply, 0xA3, 1}, "Tovrela_Reg_Read 1201 short reply 1\n", "B7:3 A3:2"},
    };
    for (const auto& c : cases) {
        test_device::reset({.fault = c.fault});
        uint16_t value = 0xBEEF;
        EXPECT_EQ(c.output, capture_stdout([&] {
                      EXPECT_EQ(rc::failed, Tovrela_Reg_Read(hub, 0xE8, 0x1201, &value));
                  }));
        EXPECT_EQ(0xBEEF, value);
        EXPECT_EQ(c.schedule, schedule());
    }
}

} // namespace
