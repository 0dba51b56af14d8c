#include "chip_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace chip_model;

namespace {

using Frame = std::vector<uint8_t>;

int send(Chip& chip, uint8_t request, Frame bytes, uint8_t type = 0x40) {
    return control_transfer(chip, type, request, 0, 0, bytes.data(),
                            static_cast<uint16_t>(bytes.size()));
}

Frame read(Chip& chip, uint16_t index, uint16_t length, int* result = nullptr) {
    Frame reply(length, 0xAA);
    const int moved = control_transfer(chip, 0xC0, 0xA3, 0, index, reply.data(), length);
    if (result != nullptr) {
        *result = moved;
    }
    return reply;
}

bool check_byte_right(const Frame& reply) {
    uint8_t check = 0xB6;
    for (int i = 1; i <= 6; ++i) {
        check ^= reply[i];
    }
    return reply[7] == check;
}

bool finished(const Frame& reply) {
    return reply[6] == 0x0C && check_byte_right(reply);
}

bool status_finished(Chip& chip) {
    return finished(read(chip, 0xE7, 8));
}

Frame command(const Frame& payload) {
    Frame frame{0xE6, 0x51, static_cast<uint8_t>(0x80 + payload.size())};
    uint8_t check = 0xE6 ^ 0x51 ^ frame[2];
    for (uint8_t byte : payload) {
        frame.push_back(byte);
        check ^= byte;
    }
    frame.push_back(check);
    return frame;
}

Config busy(unsigned replies) {
    Config config;
    config.busy_replies = replies;
    return config;
}

Config faulty(FaultKind kind, uint8_t request, unsigned nth) {
    Config config;
    config.fault = {kind, request, nth};
    return config;
}

Frame register_write(uint16_t address, uint16_t value) {
    return command({0xC2, 0x00, 0x00, 0x07, 0x07, uint8_t(address >> 8), uint8_t(address),
                    uint8_t(value >> 8), uint8_t(value)});
}

const Frame prepare{0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3};

Frame be32(uint8_t first, uint32_t a, uint32_t b) {
    return {first,      uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8),
            uint8_t(a), uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8),
            uint8_t(b)};
}

// The CRC bit by bit, as the chip's documentation describes it.
uint16_t reference_crc(const Frame& bytes) {
    uint16_t reg = 0x1021;
    for (uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool differ = ((reg >> 15) & 1) != ((byte >> bit) & 1);
            reg = static_cast<uint16_t>(reg << 1);
            if (differ) {
                reg ^= 0x1021;
            }
        }
    }
    return reg;
}

Frame pattern(std::size_t size, uint8_t seed) {
    Frame bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    }
    return bytes;
}

// Sends one block the way the flash writer does, with optional damage, up to its CRC frame.
struct BlockPlan {
    uint32_t header_offset;
    uint32_t header_length;
    std::size_t piece = 32;
    int crc_delta = 0;
};

void send_block(Chip& chip, const Frame& data, const BlockPlan& plan) {
    send(chip, 0xB2, prepare);
    send(chip, 0xB7, be32(0xE6, plan.header_offset, plan.header_length));
    for (std::size_t at = 0; at < data.size(); at += plan.piece) {
        send(chip, 0xB8,
             Frame(data.begin() + at, data.begin() + std::min(data.size(), at + plan.piece)));
    }
    const auto crc = static_cast<uint16_t>(reference_crc(data) + plan.crc_delta);
    send(chip, 0xB9, {0, 0, uint8_t(crc >> 8), uint8_t(crc)});
}

bool mentions(const Chip& chip, const std::string& words) {
    return verdict(chip).find(words) != std::string::npos;
}

bool never_finishes(Chip& chip) {
    for (int i = 0; i < 10; ++i) {
        if (status_finished(chip)) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(ChipModelCrc, MatchesTheWorkedExampleAndTheBitwiseRule) {
    const Frame abc{'a', 'b', 'c'};
    EXPECT_EQ(block_crc(abc.data(), abc.size()), 0xEB62);
    EXPECT_EQ(block_crc(nullptr, 0), 0x1021);
    const Frame block = pattern(4096, 3);
    EXPECT_EQ(block_crc(block.data(), block.size()), reference_crc(block));
}

TEST(ChipModelCommands, TheUpdateSequenceFramesAreAcceptedInOrder) {
    Chip chip;
    reset(chip);
    const std::vector<std::pair<Frame, Phase>> steps{
        {{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x10, 0xBC},
         Phase::idle},
        {{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x11, 0xBD},
         Phase::image1},
        {{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x12, 0xBE},
         Phase::between},
        {{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x20, 0x8C},
         Phase::image0},
        {{0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x01, 0x10, 0xBD},
         Phase::done},
    };
    for (const auto& [frame, phase] : steps) {
        EXPECT_EQ(send(chip, 0xB2, frame), 13);
        EXPECT_EQ(chip.phase, phase);
        EXPECT_TRUE(status_finished(chip));
    }
    EXPECT_EQ(chip.reg5000_values, (std::vector<uint16_t>{0x10, 0x11, 0x12, 0x20, 0x110}));
    EXPECT_EQ(verdict(chip), "");
    EXPECT_EQ(chip.transfers.size(), 10u);
    EXPECT_EQ(chip.transfers[0].data, steps[0].first);
    EXPECT_EQ(chip.transfers[1].result, 8);
}

TEST(ChipModelCommands, BrokenFramesAreReportedAndNeverFinish) {
    Frame wrong_check = register_write(0x5000, 0x10);
    wrong_check.back() ^= 1;
    Frame wrong_length = register_write(0x5000, 0x10);
    wrong_length[2] = 0x88;
    const struct {
        Frame frame;
        const char* words;
    } cases[]{
        {wrong_check, "check byte 0xBD, the frame's bytes give 0xBC"},
        {wrong_length, "length byte 0x88"},
        {command({0xC2, 0x00, 0x00, 0x07, 0x08, 0x50, 0x00, 0x00, 0x10}),
         "unknown command payload"},
        {{0xE6, 0x52, 0x80, 0x34}, "begins E6 52"},
        {{0xE6, 0x51, 0x80}, "shorter than an empty one"},
    };
    for (const auto& c : cases) {
        Chip chip;
        reset(chip);
        send(chip, 0xB2, c.frame);
        EXPECT_TRUE(mentions(chip, c.words)) << c.words << "\n" << verdict(chip);
        EXPECT_TRUE(chip.reg5000_values.empty());
        EXPECT_TRUE(never_finishes(chip)) << c.words;
    }
}

TEST(ChipModelCommands, SetupFieldsAreChecked) {
    Chip chip;
    reset(chip);
    Frame frame = register_write(0x5000, 0x10);
    control_transfer(chip, 0xC0, 0xB2, 0, 0, frame.data(), 13);
    EXPECT_TRUE(mentions(chip, "Transfer 1 (request B2): bmRequestType 0xC0 instead of 0x40"));
    Frame reply(8);
    control_transfer(chip, 0x40, 0xA3, 0, 0xE7, reply.data(), 8);
    EXPECT_TRUE(mentions(chip, "bmRequestType 0x40 instead of 0xC0"));
    control_transfer(chip, 0x40, 0xB8, 1, 0, frame.data(), 1);
    EXPECT_TRUE(mentions(chip, "wValue 0x0001"));
    control_transfer(chip, 0x40, 0xB9, 0, 0xE6, frame.data(), 4);
    EXPECT_TRUE(mentions(chip, "wIndex 0x00E6"));
    EXPECT_EQ(send(chip, 0xB5, {1, 2}), error_pipe);
    EXPECT_TRUE(mentions(chip, "(request B5): unknown request code"));
    int result = 0;
    read(chip, 0xE8, 2, &result);
    EXPECT_EQ(result, error_pipe);
    read(chip, 0xE7, 6);
    EXPECT_TRUE(mentions(chip, "read of 6 bytes from E7"));
}

TEST(ChipModelCommands, OutOfOrderModeValueIsReported) {
    Chip chip;
    reset(chip);
    send(chip, 0xB2, register_write(0x5000, 0x10));
    status_finished(chip);
    send(chip, 0xB2, register_write(0x5000, 0x12));
    EXPECT_TRUE(mentions(chip, "register 0x5000 written with 0x0012 where 0x0011 was due"));
    EXPECT_EQ(chip.reg5000_values, (std::vector<uint16_t>{0x10, 0x12}));
}

TEST(ChipModelStatus, BusyRepliesComeBeforeFinished) {
    Chip chip;
    reset(chip, busy(3));
    const Frame idle = read(chip, 0xE7, 8);
    EXPECT_TRUE(finished(idle));
    EXPECT_NE(Frame(idle.begin() + 1, idle.begin() + 6), Frame(5, 0));
    send(chip, 0xB2, register_write(0x5000, 0x10));
    for (int i = 0; i < 3; ++i) {
        const Frame reply = read(chip, 0xE7, 8);
        EXPECT_NE(reply[6], 0x0C);
        EXPECT_TRUE(check_byte_right(reply));
    }
    EXPECT_TRUE(status_finished(chip));
    EXPECT_TRUE(status_finished(chip));
    send(chip, 0xB2, register_write(0x5000, 0x11));
    send(chip, 0xB2, register_write(0x5000, 0x12));
    EXPECT_TRUE(mentions(chip, "before the chip reported its last command finished"));
}

TEST(ChipModelRegisterRead, AnswersHighByteFirst) {
    Chip chip;
    Config config;
    config.version = {2, 13, 15, 0, 5, 7};
    reset(chip, config);
    send(chip, 0xB7, {0xE8, 0x12, 0x01});
    EXPECT_EQ(read(chip, 0xE9, 2), (Frame{0x07, 0x05}));
    send(chip, 0xB7, {0xE8, 0x10, 0x01});
    EXPECT_EQ(read(chip, 0xE9, 2), (Frame{0x0D, 0x02}));
    EXPECT_EQ(verdict(chip), "");
    read(chip, 0xE9, 2);
    EXPECT_TRUE(mentions(chip, "without an address phase"));
    send(chip, 0xB7, {0xE8, 0x01, 0x10});
    read(chip, 0xE9, 2);
    EXPECT_TRUE(mentions(chip, "read of register 0x0110"));
}

TEST(ChipModelFlash, GoodBlocksAreStoredAtTheirOffsets) {
    Chip chip;
    reset(chip, busy(1));
    chip.phase = Phase::image1;
    const Frame image = pattern(4096 + 33, 9);
    send_block(chip, Frame(image.begin(), image.begin() + 4096), {0, 4096});
    EXPECT_FALSE(status_finished(chip));
    EXPECT_TRUE(status_finished(chip));
    send_block(chip, Frame(image.begin() + 4096, image.end()), {4096, 33});
    EXPECT_FALSE(status_finished(chip));
    EXPECT_TRUE(status_finished(chip));
    EXPECT_EQ(verdict(chip), "");
    EXPECT_EQ(chip.flashed[1], image);
    EXPECT_EQ(chip.blocks_confirmed[1], 2u);
    EXPECT_TRUE(chip.flashed[0].empty());
    // The short block ended the image.
    send_block(chip, pattern(16, 1), {4096 + 33, 16});
    EXPECT_TRUE(mentions(chip, "after the image's last, shorter block"));
}

TEST(ChipModelFlash, TheRegisterSequenceOpensEachImageWindow) {
    Chip chip;
    reset(chip);
    const Frame one = pattern(100, 1);
    const Frame zero = pattern(200, 2);
    send_block(chip, one, {0, 100});
    EXPECT_TRUE(mentions(chip, "outside an image window"));
    EXPECT_TRUE(never_finishes(chip));
    reset(chip);
    for (uint16_t value : {0x10, 0x11}) {
        send(chip, 0xB2, register_write(0x5000, value));
        status_finished(chip);
    }
    send_block(chip, one, {0, 100});
    EXPECT_TRUE(status_finished(chip));
    for (uint16_t value : {0x12, 0x20}) {
        send(chip, 0xB2, register_write(0x5000, value));
        status_finished(chip);
    }
    send_block(chip, zero, {0, 200});
    EXPECT_TRUE(status_finished(chip));
    EXPECT_EQ(verdict(chip), "");
    EXPECT_EQ(chip.flashed[1], one);
    EXPECT_EQ(chip.flashed[0], zero);
}

TEST(ChipModelFlash, BrokenBlocksAreRefused) {
    const Frame data = pattern(4096, 5);
    const struct {
        BlockPlan plan;
        const char* words;
    } cases[]{
        {{4096, 4096}, "at offset 0x1000 where 0x0 was due"},
        {{0, 4097}, "length 0x1001"},
        {{0, 4000}, "pieces add up to 0x1000 bytes, header said 0xFA0"},
        {{0, 4096, 64}, "piece of 64 bytes"},
        {{0, 4096, 32, 1}, "CRC 0x"},
    };
    for (const auto& c : cases) {
        Chip chip;
        reset(chip);
        chip.phase = Phase::image0;
        send_block(chip, data, c.plan);
        EXPECT_TRUE(mentions(chip, c.words)) << c.words << "\n" << verdict(chip);
        EXPECT_TRUE(never_finishes(chip)) << c.words;
        EXPECT_TRUE(chip.flashed[0].empty());
        EXPECT_EQ(chip.blocks_confirmed[0], 0u);
    }
}

TEST(ChipModelFlash, OrderWithinABlockIsChecked) {
    Chip chip;
    reset(chip);
    chip.phase = Phase::image0;
    send(chip, 0xB2, prepare);
    send(chip, 0xB7, be32(0xE6, 0, 4));
    send(chip, 0xB8, {1, 2});
    EXPECT_FALSE(status_finished(chip));
    EXPECT_TRUE(mentions(chip, "status read while the flash block at offset 0x0 is half sent"));
    reset(chip);
    chip.phase = Phase::image0;
    send(chip, 0xB7, be32(0xE6, 0, 4));
    EXPECT_TRUE(mentions(chip, "header without a prepare frame"));
}

TEST(ChipModelFaults, EachKindStrikesTheNthRequestOfItsCode) {
    const Frame write = register_write(0x5000, 0x10);
    for (auto [kind, code] :
         {std::pair{FaultKind::stall, error_pipe}, std::pair{FaultKind::timeout, error_timeout},
          std::pair{FaultKind::no_device, error_no_device}}) {
        Chip chip;
        reset(chip, faulty(kind, 0xB2, 2));
        EXPECT_EQ(send(chip, 0xB2, write), 13);
        status_finished(chip);
        EXPECT_EQ(send(chip, 0xB2, register_write(0x5000, 0x11)), code);
        EXPECT_EQ(chip.transfers.back().result, code);
        EXPECT_TRUE(chip.transfers.back().data.empty());
        EXPECT_EQ(chip.reg5000_values.size(), 1u);
        EXPECT_EQ(chip.phase, Phase::idle);
        int result = 0;
        read(chip, 0xE7, 8, &result);
        EXPECT_EQ(result, kind == FaultKind::no_device ? error_no_device : 8);
        EXPECT_EQ(verdict(chip), "");
    }
}

TEST(ChipModelFaults, ShortRepliesMoveHalf) {
    Chip chip;
    reset(chip, faulty(FaultKind::short_reply, 0xA3, 1));
    int result = 0;
    const Frame reply = read(chip, 0xE7, 8, &result);
    EXPECT_EQ(result, 4);
    EXPECT_EQ(reply[4], 0xAA); // untouched beyond the half
    EXPECT_EQ(chip.transfers.back().data.size(), 4u);
    EXPECT_TRUE(status_finished(chip)); // only the first one was struck

    reset(chip, faulty(FaultKind::short_reply, 0xB2, 1));
    EXPECT_EQ(send(chip, 0xB2, register_write(0x5000, 0x10)), 6);
    EXPECT_EQ(chip.transfers.back().data.size(), 6u);
    EXPECT_TRUE(mentions(chip, "length byte 0x89"));
    EXPECT_TRUE(never_finishes(chip));
}

TEST(ChipModelFaults, NeverFinishLeavesTheRequestItselfWorking) {
    Chip chip;
    reset(chip, faulty(FaultKind::never_finish, 0xB2, 2));
    send(chip, 0xB2, register_write(0x5000, 0x10));
    EXPECT_TRUE(status_finished(chip));
    EXPECT_EQ(send(chip, 0xB2, register_write(0x5000, 0x11)), 13);
    EXPECT_EQ(chip.phase, Phase::image1);
    EXPECT_TRUE(never_finishes(chip));
    EXPECT_EQ(verdict(chip), "");
}
