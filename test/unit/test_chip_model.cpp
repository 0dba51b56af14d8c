// The chip model: each kind of violation it reports, a correct run that it passes, its faults.
#include "chip_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <regex>
#include <sstream>

using namespace chip_model;

namespace {

using Frame = std::vector<uint8_t>;
const auto hex = [](const std::string& text) { return std::stoull(text, nullptr, 16); };
const std::string kinds = // FaultKind's names, 12 characters each
    "none        stall       no_device   timeout     short_reply never_finishbad_check   "
    "state       reply_bytes";

// U: the update up to the write of 0x0110, Image 1 in two full blocks and a short one.
const std::string update = "w10 w11 b0,1000,C0F4 b1000,1000,C0F4 b2000,64,643F w12 w20 b0,64,643F";

// Plays the host side of a run from a script of words, numbers in hex, the chip busy for one
// status reply a command, on the run's clock with each pause 1 ms short (allowed), after H 1.001
// ms. wV writes V to register 0x5000, reads the status twice, pauses if due; bO,L,C sends a block
// at O of L bytes, byte i being i % 256, with CRC C (C0F4 for 4096 bytes, 643F for 100: worked out
// by hand), reads the status twice; f calls finish(), gives the images' sizes; !KIND,RR,N,V sets
// the fault. Other words are transfers 1 s apart: RR:HEX sends the bytes with request RR, RR*N N
// zero bytes; TTRRVVVVIIII:HEX (/N reads N bytes) gives the whole setup; s is C0A3000000E7/8. Gives
// their results (an in transfer's last two bytes), a status read's at the end, then the verdict.
std::string play(const std::string& script) {
    Chip chip;
    reset(chip, {.busy_replies = 1, .fault = {}});
    uint64_t now = 0, trim = 1000, pending = 0;
    std::string trace;
    auto xfer = [&](uint64_t pause_us, uint64_t setup, Frame d) {
        now += (pause_us > 0 ? pause_us - trim : 0) +
               (pending > 0 ? std::exchange(pending, 0) - trim : 0);
        const int n = control_transfer_at(chip, now, uint8_t(setup >> 40), uint8_t(setup >> 32),
                                          uint16_t(setup >> 16), uint16_t(setup), d.data(),
                                          uint16_t(d.size()));
        const bool in = (n == 8 || n == 2) && setup >> 40 == 0xC0;
        char word[16];
        std::snprintf(word, sizeof word, in ? "%02X%02X " : "%d ", in ? d[d.size() - 2] : n,
                      in ? d[d.size() - 1] : 0);
        return std::string(word);
    };
    auto out = [&](uint64_t request, Frame d) { xfer(0, 0x400000000000 | request << 32, d); };
    auto status = [&](uint64_t pause_us) { xfer(pause_us, 0xC0A3000000E7, Frame(8)); };
    std::istringstream words(std::regex_replace(script, std::regex("U"), update) + " s");
    for (std::string w; words >> w;) {
        unsigned a = 0, b = 0, c = 0;
        std::sscanf(w.c_str() + (w[0] == '!' ? w.find(',') + 1 : 1), "%x,%x,%x", &a, &b, &c);
        if (w[0] == 'w') { // 0xAC: the check byte of the bytes before the value
            out(0xB2, {0xE6, 0x51, 0x89, 0xC2, 0, 0, 7, 7, 0x50, 0, uint8_t(a >> 8), uint8_t(a),
                       uint8_t(0xAC ^ (a >> 8) ^ a)});
            status(a == 0x20 ? 2321000 : 321000), status(a == 0x20 ? 2321000 : 321000);
            pending = a == 0x10 || a == 0x12 ? 1000000 : 0; // due before the next transfer
        } else if (w[0] == 'b') {
            out(0xB2, {0xE6, 0x51, 0x85, 0xC2, 0x00, 0x00, 0x03, 0x10, 0xE3});
            out(0xB7, {0xE6, 0, 0, uint8_t(a >> 8), uint8_t(a), 0, 0, uint8_t(b >> 8), uint8_t(b)});
            for (unsigned at = 0; at < b; at += 32) {
                Frame piece(std::min(32u, b - at));
                std::iota(piece.begin(), piece.end(), uint8_t(at));
                out(0xB8, piece);
            }
            out(0xB9, {0, 0, uint8_t(c >> 8), uint8_t(c)});
            status(444000), status(321000);
        } else if (w[0] == '!') {
            const auto kind = kinds.find(w.substr(1, w.find(',') - 1)) / 12;
            chip.config.fault = {FaultKind(kind), uint8_t(a), b, uint8_t(c)};
        } else if (w == "f") {
            finish(chip), trace += std::to_string(chip.flashed[0].size()) + "+" +
                                   std::to_string(chip.flashed[1].size()) + " ";
        } else if (w == "H") {
            trim = 1001;
        } else {
            w = w == "s" ? "C0A3000000E7/8" : w;
            const std::size_t at = w.find_first_of(":*/");
            Frame data(w[at] == ':' ? 0 : hex(w.substr(at + 1)));
            for (std::size_t i = at + 1; w[at] == ':' && i < w.size(); i += 2) {
                data.push_back(uint8_t(hex(w.substr(i, 2))));
            }
            const uint64_t setup =
                at == 2 ? 0x400000000000 | hex(w.substr(0, 2)) << 32 : hex(w.substr(0, 12));
            trace += xfer(1000000, setup, data);
        }
    }
    const std::string text = trace + verdict(chip);
    return text.substr(0, text.size() - 1); // without the last space or newline
}

} // namespace

TEST(ChipModel, EachScriptGivesWhatFollowsItsBar) {
    const std::string cases[] = {
        R"(U w110 f | 100+8292 0CF4)",
        R"(w11 w20 f | 0+0 0C2E Transfer 1 (request B2): register 0x5000 written with 0x0011 where 0x0010 was due
Transfer 4 (request B2): register 0x5000 written with 0x0020 where 0x0011 was due)",
        R"(B2:E65180 B2:E65189C20000070850000010B3 | 3 13 0B35 Transfer 1 (request B2): command frame of 3 bytes, shorter than an empty one (4): E6 51 80
Transfer 2 (request B2): command frame before the chip reported its last command finished
Transfer 2 (request B2): unknown command payload C2 00 00 07 08 50 00 00 10)",
        R"(C0B2000100E6:E65288C20000070750000010BC 40A3000000E8/2 C0A3000000E7/6 C0A3000000E9/2 B7:E80110 C0A3000000E9/2 B5:01 | 13 -9 6 0000 3 0000 -9 0B26 Transfer 1 (request B2): bmRequestType 0xC0 instead of 0x40
Transfer 1 (request B2): wValue 0x0001 instead of 0
Transfer 1 (request B2): wIndex 0x00E6 instead of 0
Transfer 1 (request B2): command frame begins E6 52 instead of E6 51
Transfer 1 (request B2): length byte 0x88 does not fit the 9 payload bytes (0x89)
Transfer 1 (request B2): check byte 0xBC, the frame's bytes give 0xBE
Transfer 2 (request A3): bmRequestType 0x40 instead of 0xC0
Transfer 2 (request A3): read from I2C address E8, neither E7 nor E9
Transfer 3 (request A3): read of 6 bytes from E7, which answers 8
Transfer 4 (request A3): register value read without an address phase before it
Transfer 6 (request A3): read of register 0x0110, which holds no value here
Transfer 7 (request B5): unknown request code)",
        R"(b0,64,643F | 0B23 Transfer 2 (request B7): flash block outside an image window of register 0x5000)",
        R"(w10 w11 b1000,64,643F b0,1001,2D4C | 0B3D Transfer 8 (request B7): flash block at offset 0x1000 where 0x0 was due
Transfer 16 (request B2): command frame before the chip reported its last command finished
Transfer 17 (request B7): flash block length 0x1001, not 1 to 0x1000)",
        R"(w10 w11 b0,64,643F b64,64,643F | 0B3D Transfer 17 (request B7): flash block after the image's last, shorter block)",
        R"(w10 w11 B7:E60000000000000064 | 9 0B29 Transfer 7 (request B7): flash block header without a prepare frame before it
Transfer 8 (request A3): status read while the flash block at offset 0x0 is half sent)",
        R"(w10 w11 B2:E65185C200000310E3 B7:E60000000000000064 B8*10 B9:00000000 | 9 9 16 4 0B29 Transfer 9 (request B8): flash data piece of 16 bytes at 0x0 of the block at offset 0x0, where 32 were due: every piece but the last holds 32 bytes
Transfer 10 (request B9): flash block at offset 0x0: pieces add up to 0x10 bytes, header said 0x64)",
        R"(w10 w11 b0,64,6440 | 0B07 Transfer 13 (request B9): flash block at offset 0x0: CRC 0x6440, its bytes give 0x643F)",
        R"(w10 w11 b0,1000,C0F4 b1000,1000,C0F4 b2000,64,643F w12 H w20 b0,64,643F | 0C42 Transfer 285 (request B2): first transfer after the confirmed write of 0x0012, 998.999 ms after the transfer before it, where 1000 ms were due
Transfer 286 (request A3): status read of the write of 0x0020 2319.999 ms after the transfer before it, where 2321 ms were due
Transfer 287 (request A3): status read of the write of 0x0020 2319.999 ms after the transfer before it, where 2321 ms were due
Transfer 295 (request A3): first status read after a CRC frame 442.999 ms after the transfer before it, where 444 ms were due
Transfer 296 (request A3): status read 319.999 ms after the transfer before it, where 321 ms were due)",
        R"(w10 H s B2:E65189C20000070750000011BD | 0C24 13 0B2C Transfer 5 (request B2): first transfer after the confirmed write of 0x0010, 998.999 ms after the transfer before it, where 1000 ms were due)",
        R"(U f f | 100+8292 100+8292 0C42 End of the run after transfer 296: the update did not end; register 0x5000 last written with 0x0020 (confirmed), Image 1 with 3 blocks confirmed, Image 0 with 1; stopped in Image 0 at block 1 (offset 0x64))",
        R"(w10 w11 b0,1000,C0F4 b1000,1000,C0F4 b2000,64,643F w12 w20 w110 f | 0+8292 0C42 End of the run after transfer 290: the update did not end; register 0x5000 last written with 0x0110 (confirmed), Image 1 with 3 blocks confirmed, Image 0 with 0)",
        R"(U B2:E65189C20000070750000110BD f | 13 100+8292 0B45 End of the run after transfer 297: the update did not end; register 0x5000 last written with 0x0110 (not confirmed), Image 1 with 3 blocks confirmed, Image 0 with 1)",
        // 0x0010 begins a sequence anew: after an interrupted one, after a finished one.
        R"(w10 w11 b0,1000,C0F4 U w110 f | 100+8292 0C4A)",
        R"(U w110 w10 w11 b0,64,643F f | 0+100 0C4A End of the run after transfer 314: the update did not end; register 0x5000 last written with 0x0011 (confirmed), Image 1 with 1 blocks confirmed, Image 0 with 0; stopped in Image 1 at block 1 (offset 0x64))",
        R"(!stall,B2,2 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0B35 0C21 0C24 -9 0C2B 0C2E)",
        R"(!no_device,B2,2 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0B35 0C21 0C24 -4 -4 -4)",
        R"(!timeout,A3,1 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 -7 0B35 0C21 13 0B23 0C2B)",
        R"(!short_reply,B2,2 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0B35 0C21 0C24 6 0B2C 0B29 Transfer 5 (request B2): length byte 0x89 does not fit the 2 payload bytes (0x82)
Transfer 5 (request B2): check byte 0x00, the frame's bytes give 0xFC)",
        R"(!never_finish,A3,3 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0B35 0C21 0B23 13 0B2C 0B29)",
        R"(!bad_check,A3,1 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0C68 0B26 0C24 13 0B2C 0C2E)",
        R"(!state,A3,1,D B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0D33 0B26 0C24 13 0B2C 0C2E)",
        R"(!reply_bytes,A3,2,0 B2:E65189C20000070750000010BC s s s B2:E65189C20000070750000011BD s | 13 0B35 0 0C24 13 0B2C 0C2E)",
    };
    for (const std::string& c : cases) {
        EXPECT_EQ(play(c.substr(0, c.find(" | "))), c.substr(c.find(" | ") + 3));
    }
}
