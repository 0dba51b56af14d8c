// Vendor requests and the chip's command channel: frames, status test, register write and read.
#include "chip_channel.h"
#include "chip_test_helpers.h"
#include "vendor_requests.h"

#include <gtest/gtest.h>

namespace {

using chip_model::FaultKind;
using chip_test::Bytes;
using chip_test::output_of;
using ChipChannel = chip_test::ChipTest;

const Bytes finished_reply{0x00, 0, 0, 0, 0, 0, 0x0C, 0xBA};
const Bytes busy_reply(8, 0);

const chip_model::Transfer& transfer(std::size_t i) {
    return test_device::chip().transfers.at(i);
}

TEST_F(ChipChannel, RequestsCarryTheirSetupFields) {
    const Bytes out{0xE8, 0x10, 0x01};
    ASSERT_EQ(1, i2c_write_cmd(test_device::handle(), 0xB7, 3, out.data()));
    test_device::queue_in_replies({{9}}); // a short reply is no failure
    Bytes in{0xAA, 0xBB};
    int received = -1;
    ASSERT_EQ(1, i2c_read_cmd(test_device::handle(), 0xA3, 0xFF, 2, in.data(), &received));

    const auto& w = transfer(0);
    EXPECT_EQ((std::vector<int>{0x40, 0xB7, 0, 0, 3}),
              (std::vector<int>{w.request_type, w.request, w.value, w.index, w.length}));
    EXPECT_EQ(out, w.data);
    const auto& r = transfer(1);
    EXPECT_EQ((std::vector<int>{0xC0, 0xA3, 0, 0xFF, 2}),
              (std::vector<int>{r.request_type, r.request, r.value, r.index, r.length}));
    EXPECT_EQ((Bytes{9, 0xBB}), in);
    EXPECT_EQ(1, received);
    EXPECT_EQ("", chip_model::verdict(test_device::chip())); // the timeout among the rest
}

TEST_F(ChipChannel, CommandFrames) {
    Bytes frame(132, 0x5A);
    ASSERT_EQ(1, wrap_command_frame(nullptr, 0, frame.data()));
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x80, 0x37}), Bytes(frame.begin(), frame.begin() + 4));

    const Bytes payload(128, 0);
    ASSERT_EQ(1, wrap_command_frame(payload.data(), 127, frame.data()));
    EXPECT_EQ(0xFF, frame[2]);
    EXPECT_EQ(0xE6 ^ 0x51 ^ 0xFF, frame[130]);

    frame.assign(132, 0x5A);
    EXPECT_EQ("Tovrela_Warp_Over\n", output_of([&] {
                  EXPECT_EQ(0, wrap_command_frame(payload.data(), 128, frame.data()));
              }));
    EXPECT_EQ(Bytes(132, 0x5A), frame);
}

TEST_F(ChipChannel, StatusReplyIsJudgedByStateAndCheckByte) {
    const struct {
        Bytes reply;
        ChipStatus expected;
    } cases[]{
        {finished_reply, ChipStatus::finished},
        {{0x77, 0, 0, 0, 0, 0, 0x0C, 0xBA}, ChipStatus::finished}, // byte 0 is not checked
        {{0, 1, 2, 4, 8, 0x10, 0x0C, 0xBA ^ 0x1F}, ChipStatus::finished},
        {{0, 0, 0, 0, 0, 0, 0x0C, 0xBB}, ChipStatus::not_finished},        // wrong check byte
        {{0, 0, 0, 0, 0, 0, 0x0D, 0xB6 ^ 0x0D}, ChipStatus::not_finished}, // wrong state
        {{0, 0, 0, 0, 0, 0, 0x0C}, ChipStatus::not_finished}, // short: the rest reads as zero
        // Short, although the cleared byte 7 equals the check value of bytes 1 to 6.
        {{0x7D, 0x45, 0x1C, 0xC2, 0x2D, 0x0C, 0x0C}, ChipStatus::not_finished},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        test_device::reset();
        test_device::queue_in_replies({c.reply});
        EXPECT_EQ(c.expected, read_chip_status(test_device::handle()));
        EXPECT_EQ(0xE7, transfer(0).index);
        EXPECT_EQ("A3:8", chip_test::schedule());
    }
}

TEST_F(ChipChannel, RegisterWriteFrameAndPollAgainstTheChip) {
    gSettings.gDbgMsg = 1;
    test_device::reset({.busy_replies = 2, .fault = {}});
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\n    read-loop = 2\n", output_of([] {
                  EXPECT_EQ(1, Tovrela_Reg_Write(test_device::handle(), 0x5000, 0x0010));
              }));
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x10, 0xBC}),
              transfer(0).data);
    EXPECT_EQ("B2:13 321000 A3:8 321000 A3:8 321000 A3:8", chip_test::schedule());
    EXPECT_EQ((std::vector<uint16_t>{0x0010}), test_device::chip().reg5000_values);
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));

    test_device::reset();
    test_device::queue_in_replies({busy_reply, finished_reply});
    output_of([] { EXPECT_EQ(1, Tovrela_Reg_Write(test_device::handle(), 0x1234, 0x0020)); });
    EXPECT_EQ("B2:13 2000000 321000 A3:8 2000000 321000 A3:8", chip_test::schedule());
}

// The poll reads the status at most ten times, each read after 321 ms, and stops at a failed
// transfer; the read-loop line needs the low 8 bits of DbgMsg.
TEST_F(ChipChannel, RegisterWritePoll) {
    using chip_model::Config;
    const struct {
        Config config;
        uint32_t dbg;
        int result;
        unsigned reads;
        const char* output; // after the Tovrela_Reg_Write line
    } cases[]{
        {Config{}, 0x80, 1, 1, "    read-loop = 0\n"},
        {{.busy_replies = 9, .fault = {}}, 0x01, 1, 10, "    read-loop = 9\n"},
        {{.busy_replies = 10, .fault = {}}, 0x01, 0, 10, "Tovrela_Reg_Tout\n    read-loop = A\n"},
        {{.busy_replies = 10, .fault = {}}, 0x100, 0, 10, "Tovrela_Reg_Tout\n"},
        {{.fault = {FaultKind::stall, 0xB2, 1}}, 0x01, 0, 0, "I2C-WriteCmd B2 Fail -9\n"},
        {{.fault = {FaultKind::short_reply, 0xB2, 1}},
         0x01,
         0,
         0,
         "I2C-WriteCmd B2 Short 6 of 13\n"},
        {{.busy_replies = 3, .fault = {FaultKind::no_device, 0xA3, 2}},
         0x01,
         0,
         2,
         "I2C-ReadCmd A3 Fail -4\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        gSettings.gDbgMsg = c.dbg;
        test_device::reset(c.config);
        EXPECT_EQ(std::string("Tovrela_Reg_Write 5000=0010\n") + c.output, output_of([&] {
                      EXPECT_EQ(c.result, Tovrela_Reg_Write(test_device::handle(), 0x5000, 0x0010));
                  }));
        EXPECT_EQ(c.reads, test_device::chip().request_counts[0xA3]);
        EXPECT_EQ(std::vector<uint32_t>(c.reads, 321000), test_device::pauses());
    }
}

TEST_F(ChipChannel, RegisterReadTakesHighByteFirst) {
    test_device::queue_in_replies({{0x01, 0x10}});
    uint16_t value = 0;
    ASSERT_EQ(1, Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1001, &value));
    EXPECT_EQ(0x0110, value);
    EXPECT_EQ((Bytes{0xE8, 0x10, 0x01}), transfer(0).data);
    EXPECT_EQ(0xE9, transfer(1).index);
    EXPECT_EQ("B7:3 A3:2", chip_test::schedule());
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
        {{FaultKind::short_reply, 0xA3, 1}, "Tovrela_Reg_Read 1201 short reply 1\n", "B7:3 A3:2"}};
    for (const auto& c : cases) {
        test_device::reset({.fault = c.fault});
        uint16_t value = 0xBEEF;
        EXPECT_EQ(c.output, output_of([&] {
                      EXPECT_EQ(0, Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1201, &value));
                  }));
        EXPECT_EQ(0xBEEF, value);
        EXPECT_EQ(c.schedule, chip_test::schedule());
    }
}

} // namespace
