// Runs disturbed from outside, and the virtual hub as their judge: tool faults made by preloaded
// libraries that only the chip's verdict catches, tools started side by side, a closed standard
// output, a second tool on the same hub, too few file descriptors, and the simulator's own exit
// statuses.
#include "param_suite.h"
#include "sim_run.h"
#include "update_geometry.h"

#include <cstdio>
#include <filesystem>

namespace {

using namespace sim_run;
using param_suite::PrintTo;

// Runs the tool with `library` preloaded ahead of the virtual hub's own, and `environment`
// ("NAME=value ...") set for it. The exec keeps the tool's process, so its clock too.
std::vector<std::string> preloading(const char* library, const std::string& environment = "") {
    return {"/bin/sh", "-c", environment + " LD_PRELOAD=\"$0 $LD_PRELOAD\" exec \"$@\"", library};
}

struct ToolFault {
    const char* name;
    std::vector<std::string> wrapper;
    std::string verdict; // what the verdict must say
    bool tool_passes;    // the tool itself sees nothing wrong
};

using ToolFaults = param_suite::WithCases<VirtualHub, ToolFault>;

TEST_P(ToolFaults, TheVerdictCatchesEach) {
    const ToolFault& fault = GetParam();
    const SimRun run = this->run({}, {"-vid=1234", "-pid=5678"}, fault.wrapper);
    EXPECT_EQ(run.process.exit_status, fault.tool_passes ? 0 : 1);
    EXPECT_NE((run.violations + run.closing).find(fault.verdict), std::string::npos)
        << run.violations << run.closing;
}

using namespace update_geometry;
const std::string fault = "TOVRELA_TRANSFER_FAULT=";
// The frame of 0x0110, and Image 0's last CRC frame with the closing line it leaves.
const std::string missing_0110 = fault + "swallow:" + request_at(command_frame, Step::write_0110);
const std::string missing_crc =
    fault + "swallow:" + request_at(crc_frame, Step::image0, blocks(small_image0) - 1);
const std::string stopped_in_last_block = [] {
    char text[80];
    std::snprintf(text, sizeof text, "stopped in Image 0 at block %zu (offset 0x%zX), half sent",
                  blocks(small_image0) - 1, (blocks(small_image0) - 1) * block_size);
    return std::string(text);
}();
// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, ToolFaults, testing::Values(
    ToolFault{"NoPause", preloading(TOVRELA_NO_PAUSE_LIB),
              "status read 0.000 ms after the transfer before it, where 321 ms were due", true},
    ToolFault{"SplitPiece", preloading(TOVRELA_TRANSFER_FAULT_LIB, fault + "split:1"),
              "piece of 16 bytes at 0x0 of the block at offset 0x0, where 32 were due", false},
    ToolFault{"Missing0110", preloading(TOVRELA_TRANSFER_FAULT_LIB, missing_0110),
              "the update did not end; register 0x5000 last written with 0x0020 (confirmed)", true},
    ToolFault{"BlockNeverArrives", preloading(TOVRELA_TRANSFER_FAULT_LIB, missing_crc),
              stopped_in_last_block, false}),
    param_suite::case_name);
// clang-format on

// Tools started side by side on one bed, eight at a time on eight hubs, 15 rounds: no start fails
// for the bed's sake, and every process got a uevent socket of its own. (Named after the fd number
// alone, as the umockdev preload names them, the sockets of processes side by side replace each
// other: a bind fails with "libusb_init failed -99" now and then, and one socket file is left
// where 120 processes listened.)
TEST_F(VirtualHub, ToolsStartedSideBySideEachKeepTheirEventSocket) {
    std::vector<std::string> command = {TOVRELA_SIM_BIN, "--fast", "--port-path", "2.1"};
    for (int port = 2; port <= 8; ++port) {
        command.insert(command.end(), {"--hub", "1:2." + std::to_string(port)});
    }
    command.insert(command.end(),
                   {"--", "/bin/sh", "-c",
                    "for round in $(seq 15); do for port in 1 2 3 4 5 6 7 8; do "
                    "\"$0\" -vid=1234 -pid=5678 -path=2.$port -readveronly=1 >out.$port 2>&1 || "
                    "cat out.$port >&2 & done; wait; done; ls \"$UMOCKDEV_DIR\" | grep -c '^event'",
                    TOVRELA_UPDATE_BIN});
    const test_process::Result result = test_process::run(command, dir.path());
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "120\n");
    EXPECT_EQ(result.exit_status, 0);
}

// A closed standard output (the reader of a pipe went away) never ends an update: both images
// reach the chip whole and "debug.log" gets every line.
TEST_F(VirtualHub, ClosedStandardOutputNeverStopsTheUpdate) {
    write_files(small_image0, small_image1, "LogFile=1\n");
    const SimRun run = this->run(
        {}, {"-vid=1234", "-pid=5678"},
        {"sh", "-c", "{ \"$@\"; echo \"tool $?\" > status; } | head -c 300 > /dev/null", "sh"});
    EXPECT_EQ(dir.read("status"), "tool 0\n");
    EXPECT_EQ(dir.read("debug.log"), on_hub(passing_update));
    EXPECT_EQ(run.violations + run.closing, "");
    expect_flashed(run, true);
}

// Two tools on one hub: the first is stopped (SIGSTOP) in the middle of a block, the second starts
// meanwhile, finds the hub busy and sends nothing, and the first, continued, updates the hub
// whole. With the same lock folder the lock file stops the second; with another folder (a user
// with TOVRELA_LOCK_DIR set beside a root job without it) the lock on the hub's device node does.
TEST_F(VirtualHub, SecondToolOnTheSameHubFindsItBusy) {
    const std::string script =
        "TOVRELA_LOCK_DIR=\"$PWD/L1\" \"$@\" > first.out & first=$!; "
        "until s=$(cut -d' ' -f3 /proc/$first/stat) && [ \"$s\" = T -o \"$s\" = Z ]; do "
        "sleep 0.01; done; "
        "TOVRELA_LOCK_DIR=\"$PWD/$SECOND\" \"$@\" > second.out 2> second.err; second=$?; "
        "kill -CONT $first; wait $first; echo \"$? $second\"";
    const std::string in_block = update_geometry::request_at(update_geometry::data_piece,
                                                             update_geometry::Step::image1, 0, 4);
    const std::pair<std::string, std::string> cases[] = {
        {"L1",
         dir.file("L1") + "/tovrela-update-1-2.4.lock: another tovrela-update process holds it"},
        {"L2", "/dev/bus/usb/001/003: another process holds it"}};
    std::filesystem::create_directory(dir.file("L1"));
    std::filesystem::create_directory(dir.file("L2"));
    for (const auto& [second_folder, refusal] : cases) {
        SCOPED_TRACE(second_folder);
        const SimRun run = this->run({"--signal", "STOP:" + in_block}, {"-vid=1234", "-pid=5678"},
                                     {"env", "SECOND=" + second_folder, "sh", "-c", script, "sh"});
        EXPECT_EQ(run.process.out, "0 250\n");
        EXPECT_EQ(dir.read("first.out"), banner + on_hub(passing_update));
        EXPECT_EQ(dir.read("second.out"),
                  banner + on_hub("liusb_open failed LIBUSB_ERROR_BUSY(-6)\n"));
        EXPECT_EQ(dir.read("second.err"),
                  "tovrela-update: cannot lock " + refusal + "; the hub was not touched\n");
        EXPECT_EQ(run.violations + run.closing, "");
        expect_flashed(run, true);
    }
}

// Too few file descriptors for libusb's event machinery: libusb_init reports -99.
TEST_F(VirtualHub, LibusbInitFailureExitsWithItsCode) {
    const SimRun run = this->run({}, {"-vid=1234", "-pid=5678"}, {"prlimit", "--nofile=5"});
    EXPECT_EQ(run.process.out, banner + check_ok + "libusb_init failed -99\n");
    EXPECT_EQ(run.process.exit_status, 157);
}

// The simulator's own exit statuses: the command's, 128 + a signal, 127 when the command cannot
// run, 125 for a command line it refuses.
TEST(Simulator, ExitStatuses) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--", "/bin/sh", "-c", "kill -TERM $$"}, 143},
        {{"--", "/nonexistent/command"}, 127},
        {{"--fault", "stall:b2", "--", "/bin/true"}, 125},
        {{"--signal-parent", "ALRM:b2:1:60001", "--", "/bin/true"}, 125}, // a delay over a minute
        {{"/bin/true"}, 125},                                             // no "--"
        {{"--hub", "1:2.4", "--", "/bin/true"}, 125},                     // the default hub's place
        {{"--fast", "--signal", "TERM:b8:1", "--", "/bin/sh", "-c", "exit 3"}, 3}};
    test_files::TempDir dir;
    for (const auto& [args, exit_status] : cases) {
        std::vector<std::string> argv{TOVRELA_SIM_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(test_process::run(argv, dir.path()).exit_status, exit_status) << args[0];
    }
}

} // namespace
