// Runs of the real tool on the virtual hub (tovrela-sim --fast) for the end-to-end tests: what the
// tool prints, what the simulator records (trace, verdict, flashed bytes), and a fixture that runs
// the tool in a temporary working directory with a profile and two images.
#pragma once

#include "run_process.h"
#include "test_files.h"

#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace sim_run {

// ---------------------------------------------------------------------------------------------
// What the tool prints.

inline const std::string banner = "========================================\n"
                                  "=   EZU Tovrela I2C Update Tool v0.0   =\n"
                                  "=                                      =\n"
                                  "=      Linux port: tovrela-update      =\n"
                                  "=               2022.03.28             =\n"
                                  "========================================\n";
inline const std::string check_ok = "    SPI-IMAGE: image0.bin Check OK\n"
                                    "    ISP_DRIVER: image1.bin Check OK\n";

// The rows of the simulator's default tree (hub 1234:5678 at bus 1, ports 2.4), in the order
// libusb lists them; `mark` is put between the parentheses of the hub's row.
std::string default_rows(char mark = '*', const std::string& before_hub = "");

// The device table around `rows`, with the not-found line when nothing matched.
std::string table(const std::string& rows, bool found = true);

// The six version lines of a version read.
std::string version_lines(const std::vector<int>& bytes);
inline const std::string default_versions = version_lines({2, 13, 15, 0, 0, 4});

std::string reg_write(const char* value);

// "\rprogress=%02d%%" for each of the first `blocks` blocks whose starting percentage is new.
std::string progress(std::size_t size, std::size_t blocks = SIZE_MAX);

// The writer's lines for an image that is written whole.
std::string flash_written(int selector, std::size_t size);

std::string update_banner(bool pass);

// The whole output of a full update that passes, from the first register write to the status.
std::string passing_update(std::size_t size0, std::size_t size1);

// ---------------------------------------------------------------------------------------------
// What the simulator records.

struct TraceEvent {
    char kind = 0; // 'T' the chip's hub, 'X' another device, 'P' a pause
    bool in = false;
    unsigned request = 0;
    unsigned index = 0;
    unsigned length = 0;
    std::string result;
    std::vector<uint8_t> data;
    uint64_t pause_us = 0;

    bool is(bool direction_in, unsigned code) const {
        return kind == 'T' && in == direction_in && request == code;
    }
    bool status_read() const { return is(true, 0xa3) && index == 0xe7; }
    // The value of a 13-byte register write frame, or -1.
    int register_value() const {
        return is(false, 0xb2) && data.size() == 13 ? data[10] << 8 | data[11] : -1;
    }
};

struct Trace {
    std::vector<TraceEvent> events;
    std::vector<std::string> violations;

    std::vector<TraceEvent> transfers() const;
};

Trace parse_trace(const std::string& text);

// A verdict in its two parts: the violations of the transfers, and the chip's closing line for
// an update that began but did not end (empty when it ended, or never began).
struct Verdict {
    std::string violations;
    std::string closing;
};
Verdict split_verdict(const std::string& text);

// Each status read comes 321 ms after the step before it, 2,321 ms while the value 0x0020 is
// being written, and a block's first one 123 ms later still, right after the CRC frame; the
// frames of 0x0011 and 0x0020 come 1 s after the write before them. No other pause is taken.
void expect_pause_schedule(const Trace& trace);

// ---------------------------------------------------------------------------------------------
// A run of the tool on the virtual hub, in a temporary working directory.

struct SimRun {
    test_process::Result process;
    Trace trace;
    std::string verdict;
    std::vector<uint8_t> flashed[2];
};

// Image 1: three full blocks and one of 33 bytes (pieces of 32 and 1).
constexpr std::size_t small_image1 = 3 * 4096 + 33;
constexpr std::size_t smallest_image0 = 0x80000;

class VirtualHub : public testing::Test {
  protected:
    void SetUp() override { write_files(smallest_image0, small_image1); }

    // Both images (pattern bytes) and an "update.ini" that names them after `config`'s lines.
    void write_files(std::size_t size0, std::size_t size1, const std::string& config = "");

    // An Image 0 of 1 MiB holding the version std_major.std_minor.std_revision.customer_minor.
    void write_versioned_image0(int major, int minor, int revision, int customer);

    // A file of `size` bytes that takes no room on disk.
    void write_sparse(const std::string& name, std::size_t size);

    // tovrela-sim --fast with its records, `sim_options`, then `wrapper` and the tool.
    SimRun run(std::vector<std::string> sim_options, const std::vector<std::string>& tool_args,
               const std::vector<std::string>& wrapper = {}) const;

    // The same with the hub's ids in front of `tool_args`.
    SimRun run_hub(const std::vector<std::string>& tool_args,
                   std::vector<std::string> sim_options = {}) const;

    test_files::TempDir dir;
    std::vector<uint8_t> image0;
    std::vector<uint8_t> image1;
};

} // namespace sim_run
