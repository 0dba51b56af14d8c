#include "chip_channel.h"

#include "message_output.h"
#include "pause.h"
#include "result_codes.h"
#include "settings.h"
#include "tool_events.h"
#include "vendor_requests.h"

#include <array>

namespace {

constexpr uint16_t status_length = 8;
constexpr unsigned max_status_reads = 10; // per command, at most
constexpr uint8_t state_finished = 0x0C;
constexpr uint8_t status_check_seed = chip_command_read ^ frame_marker; // 0xB6

constexpr uint32_t status_pause_us = 321000;
constexpr uint32_t slow_value_pause_us = 2000000;
constexpr uint16_t slow_value = 0x0020;

} // namespace

int wrap_command_frame(const uint8_t* payload, uint32_t length, uint8_t* frame) {
    if (length > max_frame_payload) {
        print_failure(0, "Tovrela_Warp_Over\n");
        return rc::failed;
    }
    build_command_frame(payload, length, frame);
    return rc::done;
}

ChipStatus read_chip_status(libusb_device_handle* handle) {
    std::array<uint8_t, status_length> reply{};
    int received = 0;
    if (i2c_read_cmd(handle, hub_request::status_or_value, chip_command_read, status_length,
                     reply.data(), &received) != rc::done) {
        return ChipStatus::transfer_failed;
    }
    if (received < static_cast<int>(status_length)) {
        // Bytes that never arrived read as zero and could pass the check by chance.
        return ChipStatus::not_finished;
    }
    uint8_t check = status_check_seed;
    for (std::size_t i = 1; i <= 6; ++i) {
        check ^= reply[i];
    }
    if (reply[6] == state_finished && reply[7] == check) {
        return ChipStatus::finished;
    }
    return ChipStatus::not_finished;
}

PollOutcome poll_chip_status(libusb_device_handle* handle, uint32_t extra_pause_us,
                             unsigned* not_finished) {
    for (*not_finished = 0; *not_finished < max_status_reads; ++*not_finished) {
        if (extra_pause_us != 0) {
            protocol_pause(extra_pause_us);
        }
        protocol_pause(status_pause_us);
        switch (read_chip_status(handle)) {
        case ChipStatus::transfer_failed:
            return PollOutcome::transfer_failed;
        case ChipStatus::finished:
            note_command_open(false);
            return PollOutcome::finished;
        case ChipStatus::not_finished:
            break;
        }
    }
    return PollOutcome::timed_out;
}

int Tovrela_Reg_Write(libusb_device_handle* handle, uint16_t address, uint16_t value) {
    print_message("Tovrela_Reg_Write %04X=%04X\n", address, value);
    event_register(address, value);

    const std::array<uint8_t, 9> payload{
        0xC2,
        0x00,
        0x00,
        0x07,
        0x07,
        static_cast<uint8_t>(address >> 8),
        static_cast<uint8_t>(address & 0xFF),
        static_cast<uint8_t>(value >> 8),
        static_cast<uint8_t>(value & 0xFF),
    };
    std::array<uint8_t, payload.size() + 4> frame{};
    if (wrap_command_frame(payload.data(), payload.size(), frame.data()) != rc::done) {
        return rc::failed;
    }
    if (i2c_write_cmd(handle, hub_request::command_frame, frame.size(), frame.data()) != rc::done) {
        return rc::failed;
    }
    note_command_open(true);

    unsigned k = 0;
    const PollOutcome outcome =
        poll_chip_status(handle, value == slow_value ? slow_value_pause_us : 0, &k);
    if (outcome == PollOutcome::transfer_failed) {
        return rc::failed;
    }
    int result = rc::done;
    if (outcome == PollOutcome::timed_out) {
        print_failure(0, "Tovrela_Reg_Tout\n");
        result = rc::failed;
    }
    if (verbose_detail()) {
        print_message("    read-loop = %X\n", k);
    }
    return result;
}

int Tovrela_Reg_Read(libusb_device_handle* handle, uint8_t device, uint16_t address,
                     uint16_t* value) {
    const std::array<uint8_t, 3> request{device, static_cast<uint8_t>(address >> 8),
                                         static_cast<uint8_t>(address & 0xFF)};
    if (i2c_write_cmd(handle, hub_request::address, request.size(), request.data()) != rc::done) {
        return rc::failed;
    }
    std::array<uint8_t, 2> reply{};
    int received = 0;
    if (i2c_read_cmd(handle, hub_request::status_or_value, static_cast<uint8_t>(device | 0x01),
                     reply.size(), reply.data(), &received) != rc::done) {
        return rc::failed;
    }
    if (received < static_cast<int>(reply.size())) {
        // A value that did not arrive in full is never handed on.
        print_failure(0, "Tovrela_Reg_Read %04X short reply %d\n", address, received);
        return rc::failed;
    }
    *value = static_cast<uint16_t>(reply[0] << 8 | reply[1]);
    return rc::done;
}
