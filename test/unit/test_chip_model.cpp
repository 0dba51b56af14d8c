// The chip model: what it accepts, what it reports, and the faults it injects.
#include "chip_model.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace chip_model;

namespace {

using Frame = std::vector<uint8_t>;

int send(Chip& chip, uint8_t request, Frame bytes) {
    return control_transfer(chip, 0x40, request, 0, 0, bytes.data(),
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

// A status reply's check byte is right, and its state says "finished".
bool check_byte_right(const Frame& reply) {
    uint8_t check = 0xB6;
    for (std::size_t i = 1; i <= 6; ++i) {
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

bool never_finishes(Chip& chip) {
    for (int i = 0; i < 10; ++i) {
        if (status_finished(chip)) {
            return false;
        }
    }
    return true;
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

Frame register_write(uint16_t address, uint16_t value) {
    return command({0xC2, 0x00, 0x00, 0x07, 0x07, uint8_t(address >> 8), uint8_t(address),
                    uint8_t(value >> 8), uint8_t(value)});
}

// Writes the values to register 0x5000, each followed by a status read.
void write_mode(Chip& chip, std::initializer_list<uint16_t> values) {
    for (uint16_t value : values) {
        send(chip, 0xB2, register_write(0x5000, value));
        status_finished(chip);
    }
}

Frame header(uint32_t offset, uint32_t length) {
    Frame bytes{0xE6};
    for (uint32_t field : {offset, length}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<uint8_t>(field >> shift));
        }
    }
    return bytes;
}

const Frame prepare{0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3};

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

// How one block is sent, with optional damage: header fields, piece size, CRC offset.
struct BlockPlan {
    uint32_t offset;
    uint32_t length;
    std::size_t piece = 32;
    int crc_delta = 0;
};

void send_block(Chip& chip, const Frame& data, const BlockPlan& plan) {
    send(chip, 0xB2, prepare);
    send(chip, 0xB7, header(plan.offset, plan.length));
    for (std::size_t at = 0; at < data.size(); at += plan.piece) {
        send(chip, 0xB8,
             Frame(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() +
                       static_cast<std::ptrdiff_t>(std::min(data.size(), at + plan.piece))));
    }
    const auto crc = static_cast<uint16_t>(reference_crc(data) + plan.crc_delta);
    send(chip, 0xB9, {0, 0, uint8_t(crc >> 8), uint8_t(crc)});
}

bool mentions(const Chip& chip, const std::string& words) {
    return verdict(chip).find(words) != std::string::npos;
}

} // namespace

TEST(ChipModel, CrcMatchesTheWorkedExampleAndTheBitwiseRule) {
    const Frame abc{'a', 'b', 'c'};
    EXPECT_EQ(block_crc(abc.data(), abc.size()), 0xEB62);
    EXPECT_EQ(block_crc(nullptr, 0), 0x1021);
    const Frame block = test_files::pattern_bytes(4096, 3);
    EXPECT_EQ(block_crc(block.data(), block.size()), reference_crc(block));
}

// What the chip accepts is shown by the tests of the tool against it; here, what it refuses.
TEST(ChipModel, RegisterSequenceAndImageWindows) {
    Chip chip;
    reset(chip);
    write_mode(chip, {0x10, 0x12});
    EXPECT_TRUE(mentions(chip, "register 0x5000 written with 0x0012 where 0x0011 was due"));
    EXPECT_EQ(chip.reg5000_values, (std::vector<uint16_t>{0x10, 0x12}));

    const Frame data = test_files::pattern_bytes(100, 1);
    reset(chip);
    send_block(chip, data, {0, 100});
    EXPECT_TRUE(mentions(chip, "outside an image window"));
    EXPECT_TRUE(never_finishes(chip));
    reset(chip);
    chip.phase = Phase::image1;
    send_block(chip, data, {0, 100});
    EXPECT_TRUE(status_finished(chip));
    EXPECT_EQ(chip.flashed[1], data);
    send_block(chip, data, {100, 100});
    EXPECT_TRUE(mentions(chip, "after the image's last, shorter block"));
}

TEST(ChipModel, BrokenFramesAreReportedAndNeverFinish) {
    Frame wrong_check = register_write(0x5000, 0x10);
    wrong_check.back() ^= 1;
    Frame wrong_length = register_write(0x5000, 0x10);
    wrong_length[2] = 0x88;
    const struct {
        Frame frame;
        const char* words;
    } cases[]{{wrong_check, "check byte 0xBD, the frame's bytes give 0xBC"},
              {wrong_length, "length byte 0x88"},
              {command({0xC2, 0x00, 0x00, 0x07, 0x08, 0x50, 0x00, 0x00, 0x10}),
               "unknown command payload"},
              {{0xE6, 0x52, 0x80, 0x34}, "begins E6 52"},
              {{0xE6, 0x51, 0x80}, "shorter than an empty one"}};
    for (const auto& c : cases) {
        Chip chip;
        reset(chip);
        send(chip, 0xB2, c.frame);
        EXPECT_TRUE(mentions(chip, c.words)) << c.words << "\n" << verdict(chip);
        EXPECT_TRUE(chip.reg5000_values.empty());
        EXPECT_TRUE(never_finishes(chip)) << c.words;
    }
}

TEST(ChipModel, SetupFieldsAndRegisterReadsAreChecked) {
    Chip chip;
    reset(chip);
    Frame frame = register_write(0x5000, 0x10);
    control_transfer(chip, 0xC0, 0xB2, 0, 0, frame.data(), 13);
    EXPECT_TRUE(mentions(chip, "Transfer 1 (request B2): bmRequestType 0xC0 instead of 0x40"));
    control_transfer(chip, 0x40, 0xA3, 0, 0xE7, frame.data(), 8);
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
    read(chip, 0xE9, 2);
    EXPECT_TRUE(mentions(chip, "register value read without an address phase"));
    send(chip, 0xB7, {0xE8, 0x01, 0x10});
    read(chip, 0xE9, 2);
    EXPECT_TRUE(mentions(chip, "read of register 0x0110"));
}

TEST(ChipModel, BusyRepliesComeBeforeFinished) {
    Chip chip;
    reset(chip, {.busy_replies = 3, .fault = {}});
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

TEST(ChipModel, BrokenBlocksAreRefused) {
    const Frame data = test_files::pattern_bytes(4096, 5);
    const struct {
        BlockPlan plan;
        const char* words;
    } cases[]{{{4096, 4096}, "at offset 0x1000 where 0x0 was due"},
              {{0, 4097}, "length 0x1001"},
              {{0, 4000}, "pieces add up to 0x1000 bytes, header said 0xFA0"},
              {{0, 4096, 64}, "piece of 64 bytes"},
              {{0, 4096, 32, 1}, "CRC 0x"}};
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

    Chip chip;
    reset(chip);
    chip.phase = Phase::image0;
    send(chip, 0xB2, prepare);
    send(chip, 0xB7, header(0, 4));
    send(chip, 0xB8, {1, 2});
    EXPECT_FALSE(status_finished(chip));
    EXPECT_TRUE(mentions(chip, "status read while the flash block at offset 0x0 is half sent"));
    reset(chip);
    chip.phase = Phase::image0;
    send(chip, 0xB7, header(0, 4));
    EXPECT_TRUE(mentions(chip, "header without a prepare frame"));
}

TEST(ChipModel, EachFaultStrikesTheNthRequestOfItsCode) {
    for (auto [kind, code] :
         {std::pair{FaultKind::stall, error_pipe}, std::pair{FaultKind::timeout, error_timeout},
          std::pair{FaultKind::no_device, error_no_device}}) {
        Chip chip;
        reset(chip, {.fault = {kind, 0xB2, 2}});
        write_mode(chip, {0x10});
        EXPECT_EQ(send(chip, 0xB2, register_write(0x5000, 0x11)), code);
        EXPECT_TRUE(chip.transfers.back().data.empty());
        EXPECT_EQ(chip.phase, Phase::idle); // the failed frame did nothing
        int result = 0;
        read(chip, 0xE7, 8, &result); // a device that is gone stays gone
        EXPECT_EQ(result, kind == FaultKind::no_device ? error_no_device : 8);
        EXPECT_EQ(verdict(chip), "");
    }

    Chip chip;
    reset(chip, {.fault = {FaultKind::short_reply, 0xA3, 1}});
    int result = 0;
    const Frame reply = read(chip, 0xE7, 8, &result);
    EXPECT_EQ(result, 4);
    EXPECT_EQ(reply[4], 0xAA);          // untouched beyond the half
    EXPECT_TRUE(status_finished(chip)); // only the first one was struck
    reset(chip, {.fault = {FaultKind::short_reply, 0xB2, 1}});
    EXPECT_EQ(send(chip, 0xB2, register_write(0x5000, 0x10)), 6);
    EXPECT_TRUE(mentions(chip, "length byte 0x89"));
}

namespace {

// A full update sent the way the chip wants it, on a clock that the pauses advance; `skip`
// leaves out every transfer from that one on (0: none), `pause_scale` shortens the pauses.
struct Timed {
    Chip chip;
    uint64_t now = 0;
    double pause_scale = 1.0;

    void pause(uint64_t us) { now += static_cast<uint64_t>(static_cast<double>(us) * pause_scale); }
    int send(uint8_t request, Frame bytes) {
        return control_transfer_at(chip, now, 0x40, request, 0, 0, bytes.data(),
                                   static_cast<uint16_t>(bytes.size()));
    }
    Frame status() {
        Frame reply(8);
        control_transfer_at(chip, now, 0xC0, 0xA3, 0, 0xE7, reply.data(), 8);
        return reply;
    }
    void write(uint16_t value) {
        send(0xB2, register_write(0x5000, value));
        do {
            pause(value == 0x20 ? 2321000 : 321000);
        } while (!finished(status()));
    }
    void block(const Frame& data, uint32_t offset) {
        send(0xB2, prepare);
        send(0xB7, header(offset, static_cast<uint32_t>(data.size())));
        for (std::size_t at = 0; at < data.size(); at += 32) {
            send(0xB8,
                 Frame(data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + 32))));
        }
        const uint16_t crc = reference_crc(data);
        send(0xB9, {0, 0, uint8_t(crc >> 8), uint8_t(crc)});
        pause(123000);
        do {
            pause(321000);
        } while (!finished(status()));
    }
    // The update up to (not with) `stop`: 0 the whole, 1 before 0x0110, 2 before Image 0's block.
    void update(int stop = 0) {
        const Frame data = test_files::pattern_bytes(100, 7);
        write(0x10);
        pause(1000000);
        write(0x11);
        block(data, 0);
        write(0x12);
        pause(1000000);
        write(0x20);
        if (stop == 2) {
            return;
        }
        block(data, 0);
        if (stop == 1) {
            return;
        }
        write(0x110);
    }
};

} // namespace

TEST(ChipModel, PausesShorterThanTheChipsAreViolations) {
    Timed good;
    reset(good.chip, {.busy_replies = 1, .fault = {}});
    good.update();
    finish(good.chip);
    EXPECT_EQ(verdict(good.chip), "");

    Timed hurried;
    hurried.pause_scale = 0.99; // 1 % short: beyond the 1 ms allowed for every rule
    reset(hurried.chip, {.busy_replies = 1, .fault = {}});
    hurried.update();
    for (const char* words :
         {"(request A3): status read 317.790 ms after the transfer before it, where 321 ms",
          "first transfer after the confirmed write of 0x0010, 990.000 ms",
          "first transfer after the confirmed write of 0x0012,",
          "status read of the write of 0x0020 2297.790 ms",
          "first status read after a CRC frame"}) {
        EXPECT_TRUE(mentions(hurried.chip, words)) << words << "\n" << verdict(hurried.chip);
    }
}

TEST(ChipModel, AnUpdateThatDoesNotEndGetsAClosingLine) {
    const struct {
        int stop;
        const char* words;
    } cases[]{{1, "last written with 0x0020 (confirmed), Image 1 with 1 blocks confirmed, Image 0 "
                  "with 1; stopped in Image 0 at block 1 (offset 0x64)"},
              {2, "Image 0 with 0; stopped in Image 0 at block 0 (offset 0x0)"}};
    for (const auto& c : cases) {
        Timed run;
        reset(run.chip);
        run.update(c.stop);
        finish(run.chip);
        finish(run.chip);
        EXPECT_EQ(run.chip.violations.size(), 1u) << verdict(run.chip);
        EXPECT_TRUE(mentions(run.chip, c.words)) << verdict(run.chip);
    }
    Chip lone; // a lone register write is no update
    reset(lone);
    write_mode(lone, {0x11});
    finish(lone);
    EXPECT_FALSE(mentions(lone, "did not end"));
}

TEST(ChipModel, EveryPieceButTheLastHolds32Bytes) {
    const Frame data = test_files::pattern_bytes(100, 5);
    Chip chip;
    reset(chip);
    chip.phase = Phase::image1;
    send(chip, 0xB2, prepare);
    send(chip, 0xB7, header(0, 100));
    for (std::size_t piece : {32u, 16u, 16u, 32u, 4u}) {
        send(chip, 0xB8, Frame(piece, 1));
    }
    EXPECT_TRUE(mentions(chip, "piece of 16 bytes at 0x20 of the block at offset 0x0, where 32"));
    send(chip, 0xB9, {0, 0, 0, 0});
    EXPECT_TRUE(never_finishes(chip));
}

// A status fault gives one reply that the tool must read as "not finished"; the chip's state
// stays, so the next reply is the chip's own.
TEST(ChipModel, StatusFaultsGiveOneReplyThatIsNotFinished) {
    const struct {
        Fault fault;
        int moved;
    } cases[]{{{FaultKind::bad_check, 0xA3, 2}, 8},
              {{FaultKind::state, 0xA3, 2, 0x0D}, 8},
              {{FaultKind::reply_bytes, 0xA3, 2, 7}, 7},
              {{FaultKind::reply_bytes, 0xA3, 2, 0}, 0}};
    for (const auto& c : cases) {
        Chip chip;
        reset(chip, {.fault = c.fault});
        send(chip, 0xB2, register_write(0x5000, 0x10));
        read(chip, 0xE7, 8); // the first read: finished
        send(chip, 0xB2, register_write(0x5000, 0x11));
        int moved = -1;
        const Frame reply = read(chip, 0xE7, 8, &moved);
        EXPECT_EQ(moved, c.moved);
        if (c.fault.kind == FaultKind::bad_check) {
            EXPECT_EQ(reply[6], 0x0C);
            EXPECT_FALSE(check_byte_right(reply));
        } else if (c.fault.kind == FaultKind::state) {
            EXPECT_EQ(reply[6], 0x0D);
            EXPECT_TRUE(check_byte_right(reply));
        }
        EXPECT_TRUE(status_finished(chip));
        EXPECT_EQ(verdict(chip), "");
    }
    // Bytes 1 to 5 of the replies vary, under a right check byte.
    Chip chip;
    reset(chip);
    const Frame first = read(chip, 0xE7, 8);
    const Frame second = read(chip, 0xE7, 8);
    EXPECT_NE(Frame(first.begin() + 1, first.begin() + 6),
              Frame(second.begin() + 1, second.begin() + 6));
    EXPECT_TRUE(finished(first) && finished(second));
}
