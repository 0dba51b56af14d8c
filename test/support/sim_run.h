// Runs of the real tool on the virtual hub (tovrela-sim --fast) for the end-to-end tests: a
// fixture that runs the tool in a temporary working directory with a profile and two images, and
// collects what the simulator recorded.
#pragma once

#include "expected_text.h"
#include "run_process.h"
#include "test_files.h"

#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace sim_run {

using namespace tool_text;

// The words of `text`, split at white space.
std::vector<std::string> words(const std::string& text);

// ---------------------------------------------------------------------------------------------
// A run of the tool on the virtual hub, in a temporary working directory.

struct SimRun {
    test_process::Result process;
    std::string violations; // the verdict without its closing line
    std::string closing;    // the chip's line for an update that began and did not end
    std::vector<uint8_t> flashed[2];
};

class VirtualHub : public testing::Test {
  protected:
    void SetUp() override { write_files(small_image0, small_image1); }

    // Both images (pattern bytes) and an "update.ini" that names them after `config`'s lines.
    void write_files(std::size_t size0, std::size_t size1, const std::string& config = "");

    // tovrela-sim --fast (without it when `real_pauses`) with its records and `sim_options`,
    // then `wrapper` and the tool.
    SimRun run(std::vector<std::string> sim_options, const std::vector<std::string>& tool_args,
               const std::vector<std::string>& wrapper = {}) const;

    // The same with the hub's ids in front of `tool_args`.
    SimRun run_hub(const std::vector<std::string>& tool_args,
                   std::vector<std::string> sim_options = {}) const;

    // The chip holds a prefix of each image; both whole when `whole`.
    void expect_flashed(const SimRun& run, bool whole) const;

    test_files::TempDir dir;
    bool real_pauses = false; // the tool's pauses take their real time
    std::vector<uint8_t> image0;
    std::vector<uint8_t> image1;
};

} // namespace sim_run
