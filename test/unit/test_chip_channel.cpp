// Vendor requests and the chip's command channel: frames, status test, register write and read.
#include "chip_channel.h"
#include "settings.h"
#include "test_device.h"
#include "vendor_requests.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes finished_reply{0x00, 0, 0, 0, 0, 0, 0x0C, 0xBA};
const Bytes busy_reply(8, 0);

class ChipChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = gSettings;
        gSettings.gDbgMsg = 0;
        test_device::reset();
    }
    void TearDown() override { gSettings = saved_; }

    template <typename F> static std::string output_of(F&& run) {
        testing::internal::CaptureStdout();
        run();
        return testing::internal::GetCapturedStdout();
    }

  private:
    RunSettings saved_;
};

// Transfers and pauses as short words: "B2", "A3", "pause 321000".
std::vector<std::string> schedule() {
    std::vector<std::string> steps;
    for (const auto& event : test_device::events()) {
        char word[32];
        if (event.kind == test_device::Event::Kind::pause) {
            std::snprintf(word, sizeof word, "pause %u", event.pause_us);
        } else {
            std::snprintf(word, sizeof word, "%02X",
                          test_device::chip().transfers[event.transfer].request);
        }
        steps.emplace_back(word);
    }
    return steps;
}

const chip_model::Transfer& transfer(std::size_t i) {
    return test_device::chip().transfers.at(i);
}

// --- vendor requests ---

TEST_F(ChipChannel, RequestsCarryTheirSetupFields) {
    const Bytes out{1, 2, 3};
    ASSERT_EQ(1, i2c_write_cmd(test_device::handle(), 0xB8, 3, out.data()));
    test_device::queue_in_replies({{9, 8}});
    Bytes in(2, 0);
    int received = -1;
    ASSERT_EQ(1, i2c_read_cmd(test_device::handle(), 0xA3, 0xFF, 2, in.data(), &received));

    EXPECT_EQ(0x40, transfer(0).request_type);
    EXPECT_EQ(0xB8, transfer(0).request);
    EXPECT_EQ(0, transfer(0).value);
    EXPECT_EQ(0, transfer(0).index);
    EXPECT_EQ(3, transfer(0).length);
    EXPECT_EQ(out, transfer(0).data);

    EXPECT_EQ(0xC0, transfer(1).request_type);
    EXPECT_EQ(0, transfer(1).value);
    EXPECT_EQ(0x00FF, transfer(1).index);
    EXPECT_EQ(2, transfer(1).length);
    EXPECT_EQ((Bytes{9, 8}), in);
    EXPECT_EQ(2, received);
}

TEST_F(ChipChannel, ShortInTransferSucceedsAndLeavesTheRestOfTheBuffer) {
    test_device::queue_in_replies({{0x11}});
    Bytes in{0xAA, 0xBB, 0xCC};
    int received = -1;
    EXPECT_EQ(1, i2c_read_cmd(test_device::handle(), 0xA3, 0xE9, 3, in.data(), &received));
    EXPECT_EQ(1, received);
    EXPECT_EQ((Bytes{0x11, 0xBB, 0xCC}), in);
}

TEST_F(ChipChannel, FailedTransfersPrintCodeAndLibusbResult) {
    test_device::reset({.fault = {chip_model::FaultKind::timeout, 0x0A, 1}});
    const Bytes out{0};
    std::string text =
        output_of([&] { EXPECT_EQ(0, i2c_write_cmd(test_device::handle(), 0x0A, 1, out.data())); });
    EXPECT_EQ("I2C-WriteCmd 0A Fail -7\n", text);

    test_device::reset({.fault = {chip_model::FaultKind::stall, 0xA3, 1}});
    Bytes in(8, 0);
    int received = -1;
    text = output_of([&] {
        EXPECT_EQ(0, i2c_read_cmd(test_device::handle(), 0xA3, 0xE7, 8, in.data(), &received));
    });
    EXPECT_EQ("I2C-ReadCmd A3 Fail -9\n", text);
    EXPECT_EQ(0, received);
}

// --- command frames ---

TEST_F(ChipChannel, EmptyPayloadFrame) {
    Bytes frame(4, 0);
    ASSERT_EQ(1, wrap_command_frame(nullptr, 0, frame.data()));
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x80, 0x37}), frame);
}

TEST_F(ChipChannel, LongestPayloadFrame) {
    Bytes payload(127);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    Bytes frame(131, 0);
    ASSERT_EQ(1, wrap_command_frame(payload.data(), 127, frame.data()));
    uint8_t check = 0xE6 ^ 0x51 ^ 0xFF;
    for (uint8_t byte : payload) {
        check ^= byte;
    }
    EXPECT_EQ(0xFF, frame[2]);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 3));
    EXPECT_EQ(check, frame[130]);
}

TEST_F(ChipChannel, OversizedPayloadIsRefusedAndFrameUntouched) {
    Bytes payload(128, 1);
    Bytes frame(132, 0x5A);
    std::string text =
        output_of([&] { EXPECT_EQ(0, wrap_command_frame(payload.data(), 128, frame.data())); });
    EXPECT_EQ("Tovrela_Warp_Over\n", text);
    EXPECT_EQ(Bytes(132, 0x5A), frame);
}

// --- status reply ---

struct StatusCase {
    const char* name;
    Bytes reply;
    ChipStatus expected;
};
void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.name;
}

class StatusReply : public ChipChannel, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusReply, IsJudgedByStateAndCheckByte) {
    test_device::queue_in_replies({GetParam().reply});
    EXPECT_EQ(GetParam().expected, read_chip_status(test_device::handle()));
    const auto& request = transfer(0);
    EXPECT_EQ(0xC0, request.request_type);
    EXPECT_EQ(0xA3, request.request);
    EXPECT_EQ(0xE7, request.index);
    EXPECT_EQ(8, request.length);
}

INSTANTIATE_TEST_SUITE_P(
    ChipChannel, StatusReply,
    ::testing::Values(
        StatusCase{"finished", finished_reply, ChipStatus::finished},
        StatusCase{"byte0_ignored", {0x77, 0, 0, 0, 0, 0, 0x0C, 0xBA}, ChipStatus::finished},
        StatusCase{
            "bytes1to5_checked", {0, 1, 2, 4, 8, 0x10, 0x0C, 0xBA ^ 0x1F}, ChipStatus::finished},
        StatusCase{"wrong_check_byte", {0, 0, 0, 0, 0, 0, 0x0C, 0xBB}, ChipStatus::not_finished},
        StatusCase{"wrong_state_right_check",
                   {0, 0, 0, 0, 0, 0, 0x0D, 0xB6 ^ 0x0D},
                   ChipStatus::not_finished},
        StatusCase{"all_zero", busy_reply, ChipStatus::not_finished},
        StatusCase{
            "short_reply_reads_as_zero", {0, 0, 0, 0, 0, 0, 0x0C}, ChipStatus::not_finished}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChipChannel, StatusTransferFailure) {
    test_device::reset({.fault = {chip_model::FaultKind::timeout, 0xA3, 1}});
    std::string text = output_of(
        [] { EXPECT_EQ(ChipStatus::transfer_failed, read_chip_status(test_device::handle())); });
    EXPECT_EQ("I2C-ReadCmd A3 Fail -7\n", text);
}

// --- register write ---

TEST_F(ChipChannel, RegisterWriteFrameAndPollAgainstTheChip) {
    gSettings.gDbgMsg = 1;
    test_device::reset({.busy_replies = 2, .fault = {}});
    std::string text =
        output_of([] { EXPECT_EQ(1, Tovrela_Reg_Write(test_device::handle(), 0x5000, 0x0010)); });
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\n    read-loop = 2\n", text);
    EXPECT_EQ((Bytes{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x10, 0xBC}),
              transfer(0).data);
    EXPECT_EQ((std::vector<std::string>{"B2", "pause 321000", "A3", "pause 321000", "A3",
                                        "pause 321000", "A3"}),
              schedule());
    EXPECT_EQ((std::vector<uint16_t>{0x0010}), test_device::chip().reg5000_values);
    EXPECT_EQ("", chip_model::verdict(test_device::chip()));
}

TEST_F(ChipChannel, RegisterWriteOf0020PausesLongerBeforeEveryRead) {
    test_device::queue_in_replies({busy_reply, finished_reply});
    output_of([] { EXPECT_EQ(1, Tovrela_Reg_Write(test_device::handle(), 0x1234, 0x0020)); });
    EXPECT_EQ((std::vector<std::string>{"B2", "pause 2000000", "pause 321000", "A3",
                                        "pause 2000000", "pause 321000", "A3"}),
              schedule());
}

TEST_F(ChipChannel, RegisterWriteFinishedAtOnceReportsZeroLoops) {
    gSettings.gDbgMsg = 0x80;
    test_device::queue_in_replies({finished_reply});
    std::string text =
        output_of([] { EXPECT_EQ(1, Tovrela_Reg_Write(test_device::handle(), 0xABCD, 0x0F01)); });
    EXPECT_EQ("Tovrela_Reg_Write ABCD=0F01\n    read-loop = 0\n", text);
}

TEST_F(ChipChannel, RegisterWriteTimesOutAfterTenReplies) {
    for (uint32_t dbg : {0x1u, 0x100u}) {
        gSettings.gDbgMsg = dbg;
        test_device::reset();
        test_device::queue_in_replies(std::vector<Bytes>(10, busy_reply));
        std::string text = output_of(
            [] { EXPECT_EQ(0, Tovrela_Reg_Write(test_device::handle(), 0x5000, 0x0011)); });
        EXPECT_EQ(dbg == 1 ? "Tovrela_Reg_Write 5000=0011\nTovrela_Reg_Tout\n    read-loop = A\n"
                           : "Tovrela_Reg_Write 5000=0011\nTovrela_Reg_Tout\n",
                  text);
        EXPECT_EQ(11u, test_device::chip().transfers.size()); // the frame and ten reads
        EXPECT_EQ(std::vector<uint32_t>(10, 321000), test_device::pauses());
    }
}

TEST_F(ChipChannel, RegisterWriteStopsAtTransferFailures) {
    gSettings.gDbgMsg = 1;
    // The frame fails: no poll at all.
    test_device::reset({.fault = {chip_model::FaultKind::stall, 0xB2, 1}});
    std::string text =
        output_of([] { EXPECT_EQ(0, Tovrela_Reg_Write(test_device::handle(), 0x5000, 0x0010)); });
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\nI2C-WriteCmd B2 Fail -9\n", text);
    EXPECT_EQ((std::vector<std::string>{"B2"}), schedule());

    // The second status read fails: no timeout line and no read-loop line.
    test_device::reset({.busy_replies = 3, .fault = {chip_model::FaultKind::no_device, 0xA3, 2}});
    text =
        output_of([] { EXPECT_EQ(0, Tovrela_Reg_Write(test_device::handle(), 0x5000, 0x0010)); });
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\nI2C-ReadCmd A3 Fail -4\n", text);
    EXPECT_EQ((std::vector<std::string>{"B2", "pause 321000", "A3", "pause 321000", "A3"}),
              schedule());
}

// --- register read ---

TEST_F(ChipChannel, RegisterReadTakesHighByteFirst) {
    test_device::queue_in_replies({{0x01, 0x10}});
    uint16_t value = 0;
    ASSERT_EQ(1, Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1001, &value));
    EXPECT_EQ(0x0110, value);
    EXPECT_EQ((Bytes{0xE8, 0x10, 0x01}), transfer(0).data);
    EXPECT_EQ(0xB7, transfer(0).request);
    EXPECT_EQ(0xA3, transfer(1).request);
    EXPECT_EQ(0xE9, transfer(1).index);
    EXPECT_EQ(2, transfer(1).length);
    EXPECT_TRUE(test_device::pauses().empty());
}

TEST_F(ChipChannel, RegisterReadFailuresLeaveTheValueAlone) {
    uint16_t value = 0xBEEF;
    test_device::reset({.fault = {chip_model::FaultKind::stall, 0xB7, 1}});
    std::string text = output_of(
        [&] { EXPECT_EQ(0, Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1001, &value)); });
    EXPECT_EQ("I2C-WriteCmd B7 Fail -9\n", text);
    EXPECT_EQ(1u, test_device::chip().transfers.size()); // no data phase

    test_device::reset({.fault = {chip_model::FaultKind::timeout, 0xA3, 1}});
    text = output_of(
        [&] { EXPECT_EQ(0, Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1001, &value)); });
    EXPECT_EQ("I2C-ReadCmd A3 Fail -7\n", text);

    // One byte of two: the value did not arrive.
    test_device::reset();
    test_device::queue_in_replies({{0x07}});
    text = output_of(
        [&] { EXPECT_EQ(0, Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1201, &value)); });
    EXPECT_EQ("Tovrela_Reg_Read 1201 short reply 1\n", text);
    EXPECT_EQ(0xBEEF, value);
}

} // namespace
