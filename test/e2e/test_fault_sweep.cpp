// A fault at each step of a full update on the virtual hub: the first frame, each register
// write, the first, a middle and the last block of each image, each request code of the step, and
// each kind of fault (a stalled, unplugged, timed-out or half-sent transfer, a chip that never
// reports the step finished). The tool stops at that step with its message, prints the FAIL
// banner, exits with 1 and sends nothing more: the chip holds a prefix of each image, its verdict
// finds no violation and its closing line says that the update did not end.
// TOVRELA_TOOL_WRAPPER (words split at spaces) runs the tool under a wrapper such as valgrind.
#include "param_suite.h"
#include "sim_run.h"
#include "update_geometry.h"

#include <cstdlib>

namespace {

using namespace sim_run;
using param_suite::PrintTo;

struct Fault {
    const char* name;
    std::string fault;  // KIND:REQUEST:NTH as the simulator takes it
    std::string output; // from the first register write to the FAIL banner
};

using FaultSweep = param_suite::WithCases<VirtualHub, Fault>;

TEST_P(FaultSweep, StopsAtTheStep) {
    const Fault& fault = GetParam();
    const char* wrapper = std::getenv("TOVRELA_TOOL_WRAPPER");
    const SimRun run = this->run({"--fault", fault.fault}, {"-vid=1234", "-pid=5678"},
                                 words(wrapper != nullptr ? wrapper : ""));
    EXPECT_EQ(run.process.out, banner + on_hub(fault.output + fail_banner + "Status=0x0\n"));
    EXPECT_EQ(run.process.exit_status, 1);
    // Once the chip was touched, whatever failed (an unplug too) leaves the flash incomplete.
    EXPECT_EQ(run.process.err, "tovrela-update: the update stopped after the chip was touched; the "
                               "chip's flash is incomplete: run the update again once the hub is "
                               "back\n");
    const std::string kind = fault.fault;
    // A half-sent frame is a violation in the chip's eyes; nothing else is.
    EXPECT_EQ(run.violations.empty(), kind.rfind("short", 0) != 0) << run.violations;
    // Only a first frame that never arrived whole leaves the update not begun.
    EXPECT_EQ(run.closing.empty(), kind.ends_with(":b2:1"));
    expect_flashed(run, false);
}

// Each point as the request it strikes (update_geometry), with the default images: the first and
// last block of Image 1, a middle and the last block of Image 0.
using namespace update_geometry;
const std::size_t image1_last = blocks(small_image1) - 1;
const std::size_t image0_middle = blocks(small_image0) / 2;
const std::size_t image0_last = blocks(small_image0) - 1;
const std::size_t last_piece = (block_size - 1) / piece_size;
const std::size_t image1_last_piece = (small_image1 - image1_last * block_size - 1) / piece_size;

// "KIND:rr:N" for --fault: the request `request` that `step` sends.
std::string at(const char* kind, uint8_t request, Step step, std::size_t block = 0,
               std::size_t piece = 0) {
    return std::string(kind) + ":" + request_at(request, step, block, piece);
}

const std::string r10 = reg("0010");
const std::string to_image1 = reg("0010") + reg("0011") + "Tovrela_Flash_Write FW1\n";
const std::string to_image0 = before_image0 + "Tovrela_Flash_Write FW0\n";
const std::string reg_timeout = "Tovrela_Reg_Tout\n";
const std::string block_timeout = "\nTovrela_FFW_Tout\n\t read-loop = A\n\n";
const std::string after_image0 = before_image0 + image0_written + reg("0110");
// The progress lines once `sent` blocks of Image 1 or of Image 0 went out.
std::string sent1(std::size_t sent) {
    return progress(small_image1, sent);
}
std::string sent0(std::size_t sent) {
    return progress(small_image0, sent);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(FullUpdate, FaultSweep, testing::Values(
    Fault{"Reg0010_B2_Stall", at("stall", command_frame, Step::write_0010), r10 + "I2C-WriteCmd B2 Fail -9\n"},
    Fault{"Reg0010_B2_Short", at("short", command_frame, Step::write_0010), r10 + "I2C-WriteCmd B2 Short 6 of 13\n"},
    Fault{"Reg0010_A3_NeverFinish", at("never-finish", status_read, Step::write_0010), r10 + reg_timeout},
    Fault{"Image1First_B2_Nodev", at("nodev", command_frame, Step::image1), to_image1 + "I2C-WriteCmd B2 Fail -4\n"},
    Fault{"Image1First_B7_Short", at("short", block_header, Step::image1), to_image1 + "I2C-WriteCmd B7 Short 4 of 9\n"},
    Fault{"Image1First_B8_Short", at("short", data_piece, Step::image1, 0, last_piece), to_image1 + "I2C-WriteCmd B8 Short 16 of 32\n"},
    Fault{"Image1First_B9_Timeout", at("timeout", crc_frame, Step::image1), to_image1 + "I2C-WriteCmd B9 Fail -7\n"},
    Fault{"Image1Last_B8_Short", at("short", data_piece, Step::image1, image1_last, image1_last_piece), to_image1 + sent1(image1_last) + "I2C-WriteCmd B8 Short 0 of 1\n"},
    Fault{"Image1Last_B9_Nodev", at("nodev", crc_frame, Step::image1, image1_last), to_image1 + sent1(image1_last) + "I2C-WriteCmd B9 Fail -4\n"},
    Fault{"Image1Last_A3_Timeout", at("timeout", status_read, Step::image1, image1_last), to_image1 + sent1(image1_last + 1) + "I2C-ReadCmd A3 Fail -7\n"},
    Fault{"Reg0012_B2_Stall", at("stall", command_frame, Step::write_0012), reg("0010") + reg("0011") + image1_written + reg("0012") +
          "I2C-WriteCmd B2 Fail -9\n"},
    Fault{"Reg0020_A3_NeverFinish", at("never-finish", status_read, Step::write_0020), before_image0 + reg_timeout},
    Fault{"Image0Middle_B8_Nodev", at("nodev", data_piece, Step::image0, image0_middle), to_image0 + sent0(image0_middle) + "I2C-WriteCmd B8 Fail -4\n"},
    Fault{"Image0Middle_A3_NeverFinish", at("never-finish", status_read, Step::image0, image0_middle), to_image0 + sent0(image0_middle + 1) + block_timeout},
    Fault{"Image0Last_B9_Stall", at("stall", crc_frame, Step::image0, image0_last), to_image0 + sent0(image0_last) + "I2C-WriteCmd B9 Fail -9\n"},
    Fault{"Reg0110_B2_Nodev", at("nodev", command_frame, Step::write_0110), after_image0 + "I2C-WriteCmd B2 Fail -4\n"}),
    param_suite::case_name);
// clang-format on

} // namespace
