#include "chip_parts.h"

namespace chip_model {

namespace {

using namespace parts;

// The pauses the chip relies on, in microseconds, and how much shorter a gap may be.
constexpr uint64_t status_pause_us = 321000;
constexpr uint64_t crc_pause_us = 123000;
constexpr uint64_t image0_window_pause_us = 2000000;
constexpr uint64_t sequence_pause_us = 1000000;
constexpr uint64_t timing_slack_us = 1000;

bool is_status_read(const Setup& setup) {
    return (setup.request_type & 0x80) != 0 && setup.request == request_read &&
           setup.index == command_read;
}

void gap_violation(Chip& chip, uint64_t gap_us, uint64_t due_us, const char* what) {
    violation(chip, "%s %llu.%03llu ms after the transfer before it, where %llu ms were due", what,
              static_cast<unsigned long long>(gap_us / 1000),
              static_cast<unsigned long long>(gap_us % 1000),
              static_cast<unsigned long long>(due_us / 1000));
}

} // namespace

// The transfer was recorded, its setup still to be taken: the state is that before it.
void parts::check_timing(Chip& chip, const Setup& setup, uint64_t now_us) {
    const uint8_t request = setup.request;
    const bool status_read = is_status_read(setup);
    const bool known = chip.timing.clock_seen;
    const uint64_t gap = now_us >= chip.timing.last_us ? now_us - chip.timing.last_us : 0;
    chip.timing.clock_seen = true;
    chip.timing.last_us = now_us;
    const bool long_pause = chip.timing.long_pause_due;
    const bool first_status = chip.timing.first_status_due;
    chip.timing.long_pause_due = false;
    if (status_read || request == request_crc) {
        chip.timing.first_status_due = request == request_crc;
    }
    if (!known) {
        return;
    }
    auto check = [&](uint64_t due, const char* what) {
        if (gap + timing_slack_us < due) {
            gap_violation(chip, gap, due, what);
        }
    };
    if (long_pause && status_read) {
        // A status read again: the pause is due before the next frame.
        chip.timing.long_pause_due = true;
    } else if (long_pause) {
        check(sequence_pause_us, chip.history.reg5000_values.back() == 0x0010
                                     ? "first transfer after the confirmed write of 0x0010,"
                                     : "first transfer after the confirmed write of 0x0012,");
    }
    if (!status_read) {
        return;
    }
    if (chip.sequence.polled_value == 0x0020) {
        check(image0_window_pause_us + status_pause_us, "status read of the write of 0x0020");
    } else if (first_status) {
        check(crc_pause_us + status_pause_us, "first status read after a CRC frame");
    } else {
        check(status_pause_us, "status read");
    }
}

void restart_clock(Chip& chip) {
    chip.timing = Timing{};
}

} // namespace chip_model
