// A fault at each step of a full update on the virtual hub: the first frame, each register
// write, the first, a middle and the last block of each image, each request code of the step, and
// each kind of fault (a stalled, unplugged, timed-out or half-sent transfer, a chip that never
// reports the step finished). The tool stops at that step with its message, prints the FAIL
// banner, exits with 1 and sends nothing more: the chip holds a prefix of each image, its verdict
// finds no violation and its closing line says that the update did not end.
// TOVRELA_TOOL_WRAPPER (words split at spaces) runs the tool under a wrapper such as valgrind.
#include "sim_run.h"

#include <cstdlib>

namespace {

using namespace sim_run;

struct Fault {
    const char* name;
    const char* fault;  // KIND:REQUEST:NTH as the simulator takes it
    std::string output; // from the first register write to the FAIL banner
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name;
}

class FaultSweep : public VirtualHub, public testing::WithParamInterface<Fault> {};

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

// Requests before each point, with the default images (Image 1: 4 blocks of 128, 128, 128 and 2
// pieces; Image 0: 128 blocks of 128 pieces): B2 frames 1 and 2 write 0010 and 0011, 3 to 6 open
// Image 1's blocks, 7 and 8 write 0012 and 0020, 9 to 136 open Image 0's blocks, 137 writes 0110.
// Status reads (A3) go the same way; B7 and B9 count blocks, 1 to 4 for Image 1.
const std::string r10 = reg("0010");
const std::string to_image1 = reg("0010") + reg("0011") + "Tovrela_Flash_Write FW1\n";
const std::string to_image0 = before_image0 + "Tovrela_Flash_Write FW0\n";
const std::string reg_timeout = "Tovrela_Reg_Tout\n";
const std::string block_timeout = "\nTovrela_FFW_Tout\n\t read-loop = A\n\n";
const std::string after_image0 = before_image0 + image0_written + reg("0110");
const std::string p66 = "\rprogress=33%\rprogress=66%";

// clang-format off
INSTANTIATE_TEST_SUITE_P(FullUpdate, FaultSweep, testing::Values(
    Fault{"Reg0010_B2_Stall", "stall:b2:1", r10 + "I2C-WriteCmd B2 Fail -9\n"},
    Fault{"Reg0010_B2_Short", "short:b2:1", r10 + "I2C-WriteCmd B2 Short 6 of 13\n"},
    Fault{"Reg0010_A3_NeverFinish", "never-finish:a3:1", r10 + reg_timeout},
    Fault{"Image1Block0_B2_Nodev", "nodev:b2:3", to_image1 + "I2C-WriteCmd B2 Fail -4\n"},
    Fault{"Image1Block0_B7_Short", "short:b7:1", to_image1 + "I2C-WriteCmd B7 Short 4 of 9\n"},
    Fault{"Image1Block0_B8_Short", "short:b8:128", to_image1 + "I2C-WriteCmd B8 Short 16 of 32\n"},
    Fault{"Image1Block0_B9_Timeout", "timeout:b9:1", to_image1 + "I2C-WriteCmd B9 Fail -7\n"},
    Fault{"Image1Block3_B8_Short", "short:b8:386", to_image1 + p66 + "I2C-WriteCmd B8 Short 0 of 1\n"},
    Fault{"Image1Block3_B9_Nodev", "nodev:b9:4", to_image1 + p66 + "I2C-WriteCmd B9 Fail -4\n"},
    Fault{"Image1Block3_A3_Timeout", "timeout:a3:6", to_image1 + p66 + "\rprogress=99%I2C-ReadCmd A3 Fail -7\n"},
    Fault{"Reg0012_B2_Stall", "stall:b2:7", reg("0010") + reg("0011") + image1_written + reg("0012") +
          "I2C-WriteCmd B2 Fail -9\n"},
    Fault{"Reg0020_A3_NeverFinish", "never-finish:a3:8", before_image0 + reg_timeout},
    Fault{"Image0Block64_B8_Nodev", "nodev:b8:8579", to_image0 + percents(1, 49) + "I2C-WriteCmd B8 Fail -4\n"},
    Fault{"Image0Block64_A3_NeverFinish", "never-finish:a3:73", to_image0 + percents(1, 50) + block_timeout},
    Fault{"Image0Block127_B9_Stall", "stall:b9:132", to_image0 + percents(1, 98) + "I2C-WriteCmd B9 Fail -9\n"},
    Fault{"Reg0110_B2_Nodev", "nodev:b2:137", after_image0 + "I2C-WriteCmd B2 Fail -4\n"}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

} // namespace
