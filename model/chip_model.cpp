#include "chip_model.h"

#include "chip_parts.h"
#include "hex_dump.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <utility>

namespace chip_model {

using namespace parts;

void parts::violation(Chip& chip, const char* format, ...) {
    char text[320];
    std::snprintf(text, sizeof text, "Transfer %zu (request %02X): ", chip.history.transfers.size(),
                  chip.history.transfers.back().request);
    const std::size_t head = std::strlen(text);
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + head, sizeof text - head, format, args);
    va_end(args);
    chip.history.violations.emplace_back(text);
}

namespace {

using Bytes = std::span<const uint8_t>;

// Command frame: E6 51, 0x80 + N, N payload bytes, check byte.
constexpr uint8_t frame_second = 0x51;
constexpr uint8_t frame_length_base = 0x80;
constexpr std::size_t frame_overhead = 4;
constexpr std::size_t payload_max = 127;
constexpr std::array<uint8_t, 5> prepare_payload{0xC2, 0x00, 0x00, 0x03, 0x10};
constexpr std::array<uint8_t, 5> write_payload_head{0xC2, 0x00, 0x00, 0x07, 0x07};
constexpr std::size_t write_payload_size = 9;

// Status reply: bytes 0 to 5 are the chip's own; byte 6 the state; byte 7 the check byte.
constexpr std::size_t status_size = 8;
constexpr std::array<uint8_t, 6> status_fill{0x08, 0x51, 0xC2, 0x00, 0x07, 0x01};
constexpr uint8_t state_finished = 0x0C;
constexpr uint8_t state_working = 0x0B;
constexpr uint8_t status_check_constant = 0xB6;

constexpr std::size_t value_size = 2;
constexpr std::size_t address_size = 3;
constexpr std::size_t header_size = 9;
constexpr std::size_t crc_frame_size = 4;
constexpr uint32_t block_size = 4096;
constexpr std::size_t piece_max = 32;

constexpr uint16_t mode_register = 0x5000;
constexpr std::array<uint16_t, 5> mode_order{0x0010, 0x0011, 0x0012, 0x0020, 0x0110};
// The phase each value of mode_order begins.
constexpr std::array<Phase, 5> mode_phases{Phase::idle, Phase::image1, Phase::between,
                                           Phase::image0, Phase::done};
constexpr std::array<uint16_t, 3> version_registers{0x1001, 0x1101, 0x1201};

constexpr uint16_t crc_polynomial = 0x1021;
constexpr uint16_t crc_initial = 0x1021;

// CRC of each possible top byte, so that a block is folded in a byte at a time.
constexpr auto crc_table = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned top = 0; top < table.size(); ++top) {
        unsigned reg = top << 8;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? (reg << 1) ^ crc_polynomial : reg << 1;
        }
        table[top] = static_cast<uint16_t>(reg);
    }
    return table;
}();

// Bytes as a violation names them.
std::string hex(Bytes bytes) {
    return bytes.empty() ? "nothing" : hex_dump(bytes, HexLetters::upper, " ");
}

uint32_t big_endian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Where Image `image` (0 or 1, as current_image gives it inside a window) keeps its records.
std::size_t image_slot(int image) {
    return image == 0 ? 0 : 1;
}

// A command the chip takes on: busy for the configured number of status replies.
void accept_command(Chip& chip) {
    chip.sequence.busy = true;
    chip.sequence.busy_left = chip.config.busy_replies;
    chip.sequence.command_failed = false;
}

// A command the chip refuses: it never reports finished.
void refuse_command(Chip& chip) {
    chip.sequence.busy = true;
    chip.sequence.busy_left = 0;
    chip.sequence.command_failed = true;
}

// The last write to register 0x5000 was reported finished.
void confirm_command(Chip& chip) {
    if (chip.sequence.polled_value >= 0 && !chip.history.reg5000_values.empty()) {
        chip.sequence.last_value_confirmed = true;
        chip.timing.long_pause_due =
            chip.sequence.polled_value == 0x0010 || chip.sequence.polled_value == 0x0012;
    }
    chip.sequence.polled_value = -1;
}

void drop_block(Chip& chip) {
    chip.block = Block{};
}

void open_window(Chip& chip, Phase phase) {
    chip.sequence.phase = phase;
    const std::size_t image = image_slot(current_image(chip));
    chip.history.flashed[image].clear();
    chip.history.blocks_confirmed[image] = 0;
    chip.sequence.next_offset = 0;
    chip.sequence.image_ended = false;
}

// 0x0010 begins an update sequence, whatever came before it: a tool run again after an
// interrupted or finished update starts over, and its run alone is judged and kept. What the
// sequence before it flashed is gone with it.
void begin_sequence(Chip& chip) {
    chip.history.reg5000_values.clear();
    for (auto& image : chip.history.flashed) {
        image.clear();
    }
    chip.history.blocks_confirmed = {};
    chip.sequence.next_offset = 0;
    chip.sequence.image_ended = false;
    chip.sequence.last_value_confirmed = false;
}

void write_mode_register(Chip& chip, uint16_t value) {
    if (value == mode_order.front()) {
        begin_sequence(chip);
    }
    const std::size_t position = chip.history.reg5000_values.size();
    chip.history.reg5000_values.push_back(value);
    if (position >= mode_order.size()) {
        violation(chip, "register 0x5000 written with 0x%04X after the last value 0x0110", value);
    } else if (mode_order[position] != value) {
        violation(chip, "register 0x5000 written with 0x%04X where 0x%04X was due", value,
                  mode_order[position]);
    }
    const auto* known = std::ranges::find(mode_order, value);
    if (known == mode_order.end()) {
        return;
    }
    const Phase phase = mode_phases.at(static_cast<std::size_t>(known - mode_order.begin()));
    if (phase == Phase::image0 || phase == Phase::image1) {
        open_window(chip, phase);
    } else {
        chip.sequence.phase = phase;
    }
}

bool frame_is_sound(Chip& chip, Bytes frame) {
    if (frame.size() < frame_overhead) {
        violation(chip, "command frame of %zu bytes, shorter than an empty one (4): %s",
                  frame.size(), hex(frame).c_str());
        return false;
    }
    bool sound = true;
    if (frame[0] != command_write || frame[1] != frame_second) {
        violation(chip, "command frame begins %02X %02X instead of E6 51", frame[0], frame[1]);
        sound = false;
    }
    const std::size_t payload = frame.size() - frame_overhead;
    if (payload > payload_max) {
        violation(chip, "command frame carries %zu payload bytes, more than 127", payload);
        sound = false;
    } else if (frame[2] != frame_length_base + payload) {
        violation(chip, "length byte 0x%02X does not fit the %zu payload bytes (0x%02zX)", frame[2],
                  payload, frame_length_base + payload);
        sound = false;
    }
    uint8_t check = 0;
    for (uint8_t byte : frame.first(frame.size() - 1)) {
        check ^= byte;
    }
    if (frame.back() != check) {
        violation(chip, "check byte 0x%02X, the frame's bytes give 0x%02X", frame.back(), check);
        sound = false;
    }
    return sound;
}

void take_command(Chip& chip, Bytes frame) {
    if (chip.block.open) {
        violation(chip, "command frame while the flash block at offset 0x%X is half sent",
                  chip.block.offset);
        drop_block(chip);
    }
    if (chip.sequence.busy) {
        violation(chip, "command frame before the chip reported its last command finished");
    }
    if (!frame_is_sound(chip, frame)) {
        refuse_command(chip);
        return;
    }
    const Bytes payload = frame.subspan(3, frame.size() - frame_overhead);
    if (std::ranges::equal(payload, prepare_payload)) {
        chip.block.open = true;
        return;
    }
    if (payload.size() == write_payload_size &&
        std::ranges::equal(payload.first(write_payload_head.size()), write_payload_head)) {
        const uint16_t address = static_cast<uint16_t>(payload[5] << 8 | payload[6]);
        const uint16_t value = static_cast<uint16_t>(payload[7] << 8 | payload[8]);
        accept_command(chip);
        chip.sequence.polled_value = -1;
        if (address == mode_register) {
            write_mode_register(chip, value);
            chip.sequence.polled_value = value;
            chip.sequence.last_value_confirmed = false;
        }
        return;
    }
    violation(chip, "unknown command payload %s", hex(payload).c_str());
    refuse_command(chip);
}

void take_register_address(Chip& chip, Bytes bytes) {
    if (chip.block.open) {
        violation(chip, "register address phase while a flash block is half sent");
        chip.block.bad = true;
    }
    chip.sequence.read_address_set = bytes[0] == register_write;
    if (!chip.sequence.read_address_set) {
        violation(chip, "register address phase to I2C address %02X instead of E8", bytes[0]);
        return;
    }
    chip.sequence.read_address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
}

void take_block_header(Chip& chip, Bytes bytes) {
    if (!chip.block.open) {
        violation(chip, "flash block header without a prepare frame before it");
        chip.block.bad = true;
    } else if (chip.block.header_seen) {
        violation(chip, "second header for the flash block at offset 0x%X", chip.block.offset);
        chip.block.bad = true;
    }
    chip.block.open = true;
    chip.block.header_seen = true;
    chip.block.offset = big_endian32(&bytes[1]);
    chip.block.length = big_endian32(&bytes[5]);
    chip.block.data.clear();
    chip.block.image = current_image(chip);
    if (bytes[0] != command_write) {
        violation(chip, "flash block header begins %02X instead of E6", bytes[0]);
        chip.block.bad = true;
    }
    if (chip.block.image < 0) {
        violation(chip, "flash block outside an image window of register 0x5000");
        chip.block.bad = true;
    } else if (chip.sequence.image_ended) {
        violation(chip, "flash block after the image's last, shorter block");
        chip.block.bad = true;
    } else if (chip.block.offset != chip.sequence.next_offset) {
        violation(chip, "flash block at offset 0x%X where 0x%X was due", chip.block.offset,
                  chip.sequence.next_offset);
        chip.block.bad = true;
    }
    if (chip.block.length == 0 || chip.block.length > block_size) {
        violation(chip, "flash block length 0x%X, not 1 to 0x1000", chip.block.length);
        chip.block.bad = true;
    }
}

void take_address_request(Chip& chip, Bytes bytes) {
    if (bytes.size() == address_size) {
        take_register_address(chip, bytes);
    } else if (bytes.size() == header_size) {
        take_block_header(chip, bytes);
    } else {
        violation(chip, "%zu bytes, neither a register address (3) nor a block header (9): %s",
                  bytes.size(), hex(bytes).c_str());
        chip.block.bad = chip.block.open;
    }
}

void take_piece(Chip& chip, Bytes piece) {
    if (!chip.block.header_seen) {
        if (!chip.block.bad) {
            violation(chip, "flash data without a block header before it");
        }
        chip.block.open = true;
        chip.block.bad = true;
        return;
    }
    const std::size_t received = chip.block.data.size();
    const std::size_t due = std::min<std::size_t>(
        piece_max, chip.block.length > received ? chip.block.length - received : 0);
    if (piece.empty() || piece.size() > piece_max) {
        violation(chip, "flash data piece of %zu bytes, not 1 to 32", piece.size());
        chip.block.bad = true;
    } else if (piece.size() != due) {
        violation(chip,
                  "flash data piece of %zu bytes at 0x%zX of the block at offset 0x%X, where %zu "
                  "were due: every piece but the last holds 32 bytes",
                  piece.size(), received, chip.block.offset, due);
        chip.block.bad = true;
    }
    chip.block.data.insert(chip.block.data.end(), piece.begin(), piece.end());
}

void take_crc_frame(Chip& chip, Bytes frame) {
    if (!chip.block.header_seen) {
        if (!chip.block.bad) {
            violation(chip, "CRC frame without a flash block header before it");
        }
        drop_block(chip);
        refuse_command(chip);
        return;
    }
    bool good = !chip.block.bad;
    if (chip.block.data.size() != chip.block.length) {
        violation(chip,
                  "flash block at offset 0x%X: pieces add up to 0x%zX bytes, header said 0x%X",
                  chip.block.offset, chip.block.data.size(), chip.block.length);
        good = false;
    }
    if (frame.size() != crc_frame_size || frame[0] != 0 || frame[1] != 0) {
        violation(chip, "CRC frame %s, not 00 00 and the CRC's two bytes", hex(frame).c_str());
        good = false;
    } else if (good) {
        const uint16_t sent = static_cast<uint16_t>(frame[2] << 8 | frame[3]);
        const uint16_t own = block_crc(chip.block.data.data(), chip.block.data.size());
        if (sent != own) {
            violation(chip, "flash block at offset 0x%X: CRC 0x%04X, its bytes give 0x%04X",
                      chip.block.offset, sent, own);
            good = false;
        }
    }
    if (good) {
        auto& image = chip.history.flashed[image_slot(chip.block.image)];
        const std::size_t end = std::size_t{chip.block.offset} + chip.block.length;
        image.resize(std::max(image.size(), end));
        std::ranges::copy(chip.block.data, image.begin() + chip.block.offset);
        ++chip.history.blocks_confirmed[image_slot(chip.block.image)];
        chip.sequence.next_offset = static_cast<uint32_t>(end);
        chip.sequence.image_ended = chip.block.length < block_size;
        accept_command(chip);
        chip.sequence.polled_value = -1;
    } else {
        refuse_command(chip);
    }
    drop_block(chip);
}

bool status_finished(Chip& chip) {
    if (chip.block.open) {
        violation(chip, "status read while the flash block at offset 0x%X is half sent",
                  chip.block.offset);
        return false;
    }
    if (chip.faults.never_finish || chip.sequence.command_failed) {
        return false;
    }
    if (chip.sequence.busy_left > 0) {
        --chip.sequence.busy_left;
        return false;
    }
    if (chip.sequence.busy) {
        confirm_command(chip);
    }
    chip.sequence.busy = false;
    return true;
}

// Bytes 0 to 5 change from reply to reply, as the chip's own do; the check byte covers them.
std::array<uint8_t, status_size> status_reply(Chip& chip, uint8_t state) {
    std::array<uint8_t, status_size> reply{};
    std::ranges::copy(status_fill, reply.begin());
    const unsigned count = ++chip.sequence.status_reads;
    for (std::size_t i = 0; i < status_fill.size(); ++i) {
        reply[i] = static_cast<uint8_t>(reply[i] + count * (2 * i + 1));
    }
    if (reply[1] == 0 && reply[2] == 0) {
        reply[1] = 0x51; // never all of bytes 1 to 5 zero
    }
    reply[6] = state;
    uint8_t check = status_check_constant;
    for (std::size_t i = 1; i <= 6; ++i) {
        check ^= reply[i];
    }
    reply[7] = check;
    return reply;
}

uint16_t register_value(Chip& chip) {
    if (!chip.sequence.read_address_set) {
        violation(chip, "register value read without an address phase before it");
        return 0;
    }
    chip.sequence.read_address_set = false;
    for (std::size_t i = 0; i < version_registers.size(); ++i) {
        if (version_registers[i] == chip.sequence.read_address) {
            return static_cast<uint16_t>(chip.config.version[2 * i + 1] << 8 |
                                         chip.config.version[2 * i]);
        }
    }
    violation(chip, "read of register 0x%04X, which holds no value here",
              chip.sequence.read_address);
    return 0;
}

// Answers an in request; `room` is what the hub may move (wLength, or less for a short reply).
// A status fault (`reply_kind`) gives a reply the tool must take as "not finished": the chip's
// own state stays as it was.
int answer_read(Chip& chip, const Setup& setup, uint8_t* data, std::size_t room,
                FaultKind reply_kind, uint8_t fault_value) {
    const uint16_t index = setup.index;
    std::array<uint8_t, status_size> reply{};
    std::size_t size = 0;
    if (index == command_read) {
        if (reply_kind == FaultKind::bad_check) {
            reply = status_reply(chip, state_finished);
            reply[7] ^= 0x5A;
        } else if (reply_kind == FaultKind::state) {
            reply = status_reply(chip, fault_value);
        } else if (reply_kind == FaultKind::reply_bytes) {
            reply = status_reply(chip, state_working);
        } else {
            reply = status_reply(chip, status_finished(chip) ? state_finished : state_working);
        }
        size = status_size;
    } else if (index == register_read) {
        const uint16_t value = register_value(chip);
        reply[0] = static_cast<uint8_t>(value >> 8);
        reply[1] = static_cast<uint8_t>(value);
        size = value_size;
    } else {
        violation(chip, "read from I2C address %02X, neither E7 nor E9", index);
        return error_pipe;
    }
    if (setup.length != size) {
        violation(chip, "read of %u bytes from %02X, which answers %zu", setup.length, index, size);
    }
    const std::size_t moved = std::min(room, size);
    std::memcpy(data, reply.data(), moved);
    return static_cast<int>(moved);
}

void check_setup(Chip& chip, const Setup& setup, bool in) {
    const uint8_t expected = in ? type_in : type_out;
    if (setup.request_type != expected) {
        violation(chip, "bmRequestType 0x%02X instead of 0x%02X", setup.request_type, expected);
    }
    if (setup.value != 0) {
        violation(chip, "wValue 0x%04X instead of 0", setup.value);
    }
    if (!in && setup.index != 0) {
        violation(chip, "wIndex 0x%04X instead of 0", setup.index);
    }
}

// The hub's OUT requests and the part of the chip that takes the bytes of each.
constexpr std::pair<uint8_t, void (*)(Chip&, Bytes)> out_requests[] = {
    {request_command, take_command},
    {request_address, take_address_request},
    {request_data, take_piece},
    {request_crc, take_crc_frame},
};

int handle(Chip& chip, const Setup& setup, uint8_t* data) {
    if (chip.faults.device_gone) {
        return error_no_device;
    }
    const FaultEffect effect = fault_effect(chip, setup);
    if (effect.failure != 0) {
        return effect.failure;
    }
    if (data == nullptr && setup.length > 0) {
        violation(chip, "no data buffer for %u bytes", setup.length);
        return error_io;
    }
    if (setup.request == request_read) {
        check_setup(chip, setup, true);
        return answer_read(chip, setup, data, effect.moved, effect.reply_kind,
                           chip.config.fault.value);
    }
    for (const auto& [request, take] : out_requests) {
        if (setup.request == request) {
            check_setup(chip, setup, false);
            take(chip, Bytes(data, effect.moved));
            return static_cast<int>(effect.moved);
        }
    }
    violation(chip, "unknown request code");
    return error_pipe;
}

// Records the transfer, judges the pauses before it when it came with its time (`now_us`), then
// takes it as the hub and the chip would.
int take_transfer(Chip& chip, const uint64_t* now_us, const Setup& setup, uint8_t* data) {
    auto& transfers = chip.history.transfers;
    transfers.push_back(
        {setup.request_type, setup.request, setup.value, setup.index, setup.length, {}, 0});
    const std::size_t number = transfers.size() - 1;
    if (now_us != nullptr && !chip.faults.device_gone) {
        check_timing(chip, setup, *now_us);
    }
    const int result = handle(chip, setup, data);
    Transfer& transfer = transfers[number];
    transfer.result = result;
    if (result > 0) {
        transfer.data.assign(data, data + result);
    }
    return result;
}

} // namespace

void reset(Chip& chip, const Config& config) {
    chip = Chip{};
    chip.config = config;
}

void finish(Chip& chip) {
    if (chip.sequence.finished_checked) {
        return;
    }
    chip.sequence.finished_checked = true;
    const auto& values = chip.history.reg5000_values;
    if (values.empty() || values.front() != 0x0010) {
        return;
    }
    const bool ended = chip.sequence.phase == Phase::done && chip.sequence.last_value_confirmed &&
                       values.back() == 0x0110 && chip.history.blocks_confirmed[0] > 0 &&
                       chip.history.blocks_confirmed[1] > 0;
    if (ended) {
        return;
    }
    char text[320];
    std::snprintf(text, sizeof text,
                  "End of the run after transfer %zu: the update did not end; register 0x5000 last "
                  "written with 0x%04X (%s), Image 1 with %u blocks confirmed, Image 0 with %u",
                  chip.history.transfers.size(), values.back(),
                  chip.sequence.last_value_confirmed ? "confirmed" : "not confirmed",
                  chip.history.blocks_confirmed[1], chip.history.blocks_confirmed[0]);
    const int image = chip.block.image >= 0 ? chip.block.image : current_image(chip);
    if (const std::size_t used = std::strlen(text); image >= 0 && used + 1 < sizeof text) {
        std::snprintf(text + used, sizeof text - used,
                      "; stopped in Image %d at block %u (offset 0x%X)%s", image,
                      chip.history.blocks_confirmed[image_slot(image)],
                      chip.block.open && chip.block.header_seen ? chip.block.offset
                                                                : chip.sequence.next_offset,
                      chip.block.open ? ", half sent" : "");
    }
    chip.history.violations.emplace_back(text);
}

int control_transfer(Chip& chip, uint8_t request_type, uint8_t request, uint16_t value,
                     uint16_t index, uint8_t* data, uint16_t length) {
    return take_transfer(chip, nullptr, {request_type, request, value, index, length}, data);
}

int control_transfer_at(Chip& chip, uint64_t now_us, uint8_t request_type, uint8_t request,
                        uint16_t value, uint16_t index, uint8_t* data, uint16_t length) {
    return take_transfer(chip, &now_us, {request_type, request, value, index, length}, data);
}

void open_image_window(Chip& chip, int image) {
    open_window(chip, image == 0 ? Phase::image0 : Phase::image1);
}

int current_image(const Chip& chip) {
    switch (chip.sequence.phase) {
    case Phase::image0:
        return 0;
    case Phase::image1:
        return 1;
    case Phase::idle:
    case Phase::between:
    case Phase::done:
        break;
    }
    return -1;
}

uint16_t block_crc(const uint8_t* bytes, std::size_t count) {
    uint16_t crc = crc_initial;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc << 8 ^ crc_table[(crc >> 8 ^ bytes[i]) & 0xFF]);
    }
    return crc;
}

std::string verdict(const Chip& chip) {
    std::string text;
    for (const auto& line : chip.history.violations) {
        text += line;
        text += '\n';
    }
    return text;
}

} // namespace chip_model
