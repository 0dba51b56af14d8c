// The chip model: each kind of violation it reports, a correct run that it passes, its faults.
#include "chip_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <utility>

using namespace chip_model;

namespace {

using Frame = std::vector<uint8_t>;

// The host side of a run on the run's clock, the chip busy for one status reply a command. Each
// pause is `short_by` shorter than the chip's rule: 1 ms, which is allowed, unless a case says.
struct Host {
    Chip chip;
    uint64_t now = 0;
    uint64_t short_by = 1000;
    uint64_t pending = 0; // a pause due before the next transfer
    std::string results;  // of the transfers made on their own, and of finish
    Host() { reset(chip, {.busy_replies = 1, .fault = {}}); }
};

// One control transfer `pause_us` after the one before (and after a pending pause). Gives its
// result: an in transfer's last two bytes in hex, else the bytes moved or the error code.
std::string make_transfer(Host& host, uint64_t pause_us, uint8_t type, uint8_t request,
                          uint16_t value, uint16_t index, Frame data) {
    host.now += (pause_us > 0 ? pause_us - host.short_by : 0) +
                (host.pending > 0 ? std::exchange(host.pending, 0) - host.short_by : 0);
    const int n = control_transfer_at(host.chip, host.now, type, request, value, index, data.data(),
                                      static_cast<uint16_t>(data.size()));
    char word[16];
    if ((n == 8 || n == 2) && type == 0xC0) {
        std::snprintf(word, sizeof word, "%02X%02X ", data[data.size() - 2], data.back());
    } else {
        std::snprintf(word, sizeof word, "%d ", n);
    }
    return word;
}

// Transfers made on their own, a second after the one before, their results kept.
void transfer(Host& host, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
              Frame data) {
    host.results += make_transfer(host, 1000000, type, request, value, index, std::move(data));
}
void send(Host& host, uint8_t request, Frame data) {
    transfer(host, 0x40, request, 0, 0, std::move(data));
}
void read(Host& host, uint16_t index, std::size_t length) {
    transfer(host, 0xC0, 0xA3, 0, index, Frame(length));
}
void read_status(Host& host) {
    read(host, 0xE7, 8);
}

void set_fault(Host& host, const Fault& fault) {
    host.chip.config.fault = fault;
}

// Ends the run; keeps the sizes of what Image 0 and Image 1 hold.
void finish_run(Host& host) {
    finish(host.chip);
    host.results += std::to_string(host.chip.history.flashed[0].size()) + "+" +
                    std::to_string(host.chip.history.flashed[1].size()) + " ";
}

uint8_t high(unsigned value) {
    return static_cast<uint8_t>(value >> 8);
}
uint8_t low(unsigned value) {
    return static_cast<uint8_t>(value);
}

// The command frame that writes `value` to register 0x5000 (0xAC: the check byte of the bytes
// before the value), the prepare frame and the header of a block.
Frame write_frame(uint16_t value) {
    return {0xE6,
            0x51,
            0x89,
            0xC2,
            0,
            0,
            7,
            7,
            0x50,
            0,
            high(value),
            low(value),
            low(0xAC ^ high(value) ^ value)};
}
const Frame prepare_frame{0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3};
Frame block_header(uint16_t offset, uint16_t length) {
    return {0xE6, 0, 0, high(offset), low(offset), 0, 0, high(length), low(length)};
}

// Writes `value` to register 0x5000 and reads the status twice, with their pauses.
void write_register(Host& host, uint16_t value) {
    make_transfer(host, 0, 0x40, 0xB2, 0, 0, write_frame(value));
    for (int i = 0; i < 2; ++i) {
        make_transfer(host, value == 0x0020 ? 2321000 : 321000, 0xC0, 0xA3, 0, 0xE7, Frame(8));
    }
    host.pending = value == 0x0010 || value == 0x0012 ? 1000000 : 0;
}

// The CRCs of 4096 and 100 pattern bytes, worked out by hand.
constexpr uint16_t crc_4096 = 0xC0F4;
constexpr uint16_t crc_100 = 0x643F;

// Sends a block at `offset` of `length` pattern bytes (byte i is i % 256) with `crc`, and reads
// the status twice, with their pauses.
void send_block(Host& host, uint16_t offset, uint16_t length, uint16_t crc) {
    make_transfer(host, 0, 0x40, 0xB2, 0, 0, prepare_frame);
    make_transfer(host, 0, 0x40, 0xB7, 0, 0, block_header(offset, length));
    for (unsigned at = 0; at < length; at += 32) {
        Frame piece(std::min(32u, length - at));
        std::iota(piece.begin(), piece.end(), static_cast<uint8_t>(at));
        make_transfer(host, 0, 0x40, 0xB8, 0, 0, piece);
    }
    make_transfer(host, 0, 0x40, 0xB9, 0, 0, {0, 0, high(crc), low(crc)});
    make_transfer(host, 444000, 0xC0, 0xA3, 0, 0xE7, Frame(8));
    make_transfer(host, 321000, 0xC0, 0xA3, 0, 0xE7, Frame(8));
}

// The writes that open Image 1's window.
void open_image1(Host& host) {
    write_register(host, 0x0010);
    write_register(host, 0x0011);
}

// Image 1 in two full blocks and a short one, and Image 0 begun, up to the write of 0x0110;
// `image0` leaves out Image 0's block.
void update_to_0110(Host& host, bool image0 = true) {
    open_image1(host);
    send_block(host, 0, 0x1000, crc_4096);
    send_block(host, 0x1000, 0x1000, crc_4096);
    send_block(host, 0x2000, 0x64, crc_100);
    write_register(host, 0x0012);
    write_register(host, 0x0020);
    if (image0) {
        send_block(host, 0, 0x64, crc_100);
    }
}

struct Case {
    const char* name;
    void (*run)(Host&);
    const char* results; // then those of a status read at the end
    const char* verdict;
};

// clang-format off
const Case cases[] = {
    {"CorrectUpdate", [](Host& h) { update_to_0110(h); write_register(h, 0x0110); finish_run(h); },
     "100+8292 0CF4", ""},
    {"RegisterValuesOutOfOrder", [](Host& h) { write_register(h, 0x0011); write_register(h, 0x0020); finish_run(h); },
     "0+0 0C2E",
     "Transfer 1 (request B2): register 0x5000 written with 0x0011 where 0x0010 was due\n"
     "Transfer 4 (request B2): register 0x5000 written with 0x0020 where 0x0011 was due"},
    {"CommandFrames", [](Host& h) { send(h, 0xB2, {0xE6, 0x51, 0x80}); send(h, 0xB2, {0xE6, 0x51, 0x89, 0xC2, 0, 0, 7, 8, 0x50, 0, 0, 0x10, 0xB3}); },
     "3 13 0B35",
     "Transfer 1 (request B2): command frame of 3 bytes, shorter than an empty one (4): E6 51 80\n"
     "Transfer 2 (request B2): command frame before the chip reported its last command finished\n"
     "Transfer 2 (request B2): unknown command payload C2 00 00 07 08 50 00 00 10"},
    {"SetupFieldsAndReads", [](Host& h) {
         transfer(h, 0xC0, 0xB2, 0x0001, 0x00E6,
                  {0xE6, 0x52, 0x88, 0xC2, 0, 0, 7, 7, 0x50, 0, 0, 0x10, 0xBC});
         transfer(h, 0x40, 0xA3, 0, 0xE8, Frame(2));
         read(h, 0xE7, 6);
         read(h, 0xE9, 2);
         send(h, 0xB7, {0xE8, 0x01, 0x10});
         read(h, 0xE9, 2);
         send(h, 0xB5, {0x01});
     },
     "13 -9 6 0000 3 0000 -9 0B26",
     "Transfer 1 (request B2): bmRequestType 0xC0 instead of 0x40\n"
     "Transfer 1 (request B2): wValue 0x0001 instead of 0\n"
     "Transfer 1 (request B2): wIndex 0x00E6 instead of 0\n"
     "Transfer 1 (request B2): command frame begins E6 52 instead of E6 51\n"
     "Transfer 1 (request B2): length byte 0x88 does not fit the 9 payload bytes (0x89)\n"
     "Transfer 1 (request B2): check byte 0xBC, the frame's bytes give 0xBE\n"
     "Transfer 2 (request A3): bmRequestType 0x40 instead of 0xC0\n"
     "Transfer 2 (request A3): read from I2C address E8, neither E7 nor E9\n"
     "Transfer 3 (request A3): read of 6 bytes from E7, which answers 8\n"
     "Transfer 4 (request A3): register value read without an address phase before it\n"
     "Transfer 6 (request A3): read of register 0x0110, which holds no value here\n"
     "Transfer 7 (request B5): unknown request code"},
    {"BlockOutsideAWindow", [](Host& h) { send_block(h, 0, 0x64, crc_100); }, "0B23",
     "Transfer 2 (request B7): flash block outside an image window of register 0x5000"},
    {"BlockOffsetAndLength", [](Host& h) { open_image1(h); send_block(h, 0x1000, 0x64, crc_100); send_block(h, 0, 0x1001, 0x2D4C); },
     "0B3D",
     "Transfer 8 (request B7): flash block at offset 0x1000 where 0x0 was due\n"
     "Transfer 16 (request B2): command frame before the chip reported its last command finished\n"
     "Transfer 17 (request B7): flash block length 0x1001, not 1 to 0x1000"},
    {"BlockAfterTheShortOne", [](Host& h) { open_image1(h); send_block(h, 0, 0x64, crc_100); send_block(h, 0x64, 0x64, crc_100); },
     "0B3D", "Transfer 17 (request B7): flash block after the image's last, shorter block"},
    {"HeaderWithoutPrepare", [](Host& h) { open_image1(h); send(h, 0xB7, block_header(0, 0x64)); },
     "9 0B29",
     "Transfer 7 (request B7): flash block header without a prepare frame before it\n"
     "Transfer 8 (request A3): status read while the flash block at offset 0x0 is half sent"},
    {"PiecesShort", [](Host& h) { open_image1(h); send(h, 0xB2, prepare_frame); send(h, 0xB7, block_header(0, 0x64)); send(h, 0xB8, Frame(16)); send(h, 0xB9, {0, 0, 0, 0}); },
     "9 9 16 4 0B29",
     "Transfer 9 (request B8): flash data piece of 16 bytes at 0x0 of the block at offset 0x0, where 32 were due: every piece but the last holds 32 bytes\n"
     "Transfer 10 (request B9): flash block at offset 0x0: pieces add up to 0x10 bytes, header said 0x64"},
    {"WrongCrc", [](Host& h) { open_image1(h); send_block(h, 0, 0x64, 0x6440); }, "0B07",
     "Transfer 13 (request B9): flash block at offset 0x0: CRC 0x6440, its bytes give 0x643F"},
    {"PausesTooShort", [](Host& h) {
         open_image1(h);
         send_block(h, 0, 0x1000, crc_4096); send_block(h, 0x1000, 0x1000, crc_4096);
         send_block(h, 0x2000, 0x64, crc_100);
         write_register(h, 0x0012);
         h.short_by = 1001;
         write_register(h, 0x0020); send_block(h, 0, 0x64, crc_100);
     },
     "0C42",
     "Transfer 285 (request B2): first transfer after the confirmed write of 0x0012, 998.999 ms after the transfer before it, where 1000 ms were due\n"
     "Transfer 286 (request A3): status read of the write of 0x0020 2319.999 ms after the transfer before it, where 2321 ms were due\n"
     "Transfer 287 (request A3): status read of the write of 0x0020 2319.999 ms after the transfer before it, where 2321 ms were due\n"
     "Transfer 295 (request A3): first status read after a CRC frame 442.999 ms after the transfer before it, where 444 ms were due\n"
     "Transfer 296 (request A3): status read 319.999 ms after the transfer before it, where 321 ms were due"},
    {"PauseAfter0010TooShort", [](Host& h) { write_register(h, 0x0010); h.short_by = 1001; read_status(h); send(h, 0xB2, write_frame(0x0011)); },
     "0C24 13 0B2C",
     "Transfer 5 (request B2): first transfer after the confirmed write of 0x0010, 998.999 ms after the transfer before it, where 1000 ms were due"},
    {"UpdateNotEndedSaysWhereOnce", [](Host& h) { update_to_0110(h); finish_run(h); finish_run(h); }, "100+8292 100+8292 0C42",
     "End of the run after transfer 296: the update did not end; register 0x5000 last written with 0x0020 (confirmed), Image 1 with 3 blocks confirmed, Image 0 with 1; stopped in Image 0 at block 1 (offset 0x64)"},
    {"UpdateWithoutImage0", [](Host& h) { update_to_0110(h, false); write_register(h, 0x0110); finish_run(h); },
     "0+8292 0C42",
     "End of the run after transfer 290: the update did not end; register 0x5000 last written with 0x0110 (confirmed), Image 1 with 3 blocks confirmed, Image 0 with 0"},
    {"Last0110NotConfirmed", [](Host& h) { update_to_0110(h); send(h, 0xB2, write_frame(0x0110)); finish_run(h); },
     "13 100+8292 0B45",
     "End of the run after transfer 297: the update did not end; register 0x5000 last written with 0x0110 (not confirmed), Image 1 with 3 blocks confirmed, Image 0 with 1"},
    // 0x0010 begins a sequence anew: after an interrupted one, after a finished one.
    {"AnewAfterAnInterruptedOne", [](Host& h) { open_image1(h); send_block(h, 0, 0x1000, crc_4096); update_to_0110(h); write_register(h, 0x0110); finish_run(h); },
     "100+8292 0C4A", ""},
    {"AnewAfterAFinishedOne", [](Host& h) { update_to_0110(h); write_register(h, 0x0110); open_image1(h); send_block(h, 0, 0x64, crc_100); finish_run(h); },
     "0+100 0C4A",
     "End of the run after transfer 314: the update did not end; register 0x5000 last written with 0x0011 (confirmed), Image 1 with 1 blocks confirmed, Image 0 with 0; stopped in Image 1 at block 1 (offset 0x64)"},
};
// clang-format on

TEST(ChipModel, EachCaseGivesItsResultsAndVerdict) {
    for (const Case& c : cases) {
        Host host;
        c.run(host);
        read_status(host); // "finished" (0C) when the chip took the last command
        EXPECT_EQ(host.results, std::string(c.results) + " ") << c.name;
        const std::string verdict = chip_model::verdict(host.chip);
        EXPECT_EQ(verdict, *c.verdict == 0 ? "" : std::string(c.verdict) + "\n") << c.name;
    }
}

// Each fault strikes on its own: the write of 0x0010, three status reads, the write of 0x0011 and
// one status read, each made on its own.
TEST(ChipModel, FaultsStrikeTheirRequest) {
    struct FaultCase {
        Fault fault;
        const char* results;
        const char* verdict;
    };
    const FaultCase faults[] = {
        {{FaultKind::stall, 0xB2, 2, 0}, "13 0B35 0C21 0C24 -9 0C2B 0C2E", ""},
        {{FaultKind::no_device, 0xB2, 2, 0}, "13 0B35 0C21 0C24 -4 -4 -4", ""},
        {{FaultKind::timeout, 0xA3, 1, 0}, "13 -7 0B35 0C21 13 0B23 0C2B", ""},
        {{FaultKind::short_reply, 0xB2, 2, 0},
         "13 0B35 0C21 0C24 6 0B2C 0B29",
         "Transfer 5 (request B2): length byte 0x89 does not fit the 2 payload bytes (0x82)\n"
         "Transfer 5 (request B2): check byte 0x00, the frame's bytes give 0xFC\n"},
        {{FaultKind::never_finish, 0xA3, 3, 0}, "13 0B35 0C21 0B23 13 0B2C 0B29", ""},
        {{FaultKind::bad_check, 0xA3, 1, 0}, "13 0C68 0B26 0C24 13 0B2C 0C2E", ""},
        {{FaultKind::state, 0xA3, 1, 0x0D}, "13 0D33 0B26 0C24 13 0B2C 0C2E", ""},
        {{FaultKind::reply_bytes, 0xA3, 2, 0}, "13 0B35 0 0C24 13 0B2C 0C2E", ""},
    };
    for (const FaultCase& c : faults) {
        Host host;
        set_fault(host, c.fault);
        send(host, 0xB2, write_frame(0x0010));
        for (int i = 0; i < 3; ++i) {
            read_status(host);
        }
        send(host, 0xB2, write_frame(0x0011));
        read_status(host);
        read_status(host);
        EXPECT_EQ(host.results, std::string(c.results) + " ") << c.results;
        EXPECT_EQ(chip_model::verdict(host.chip), c.verdict) << c.results;
    }
}

} // namespace
