// The virtual hub as the judge of a run: tool faults made from outside the tool (preloaded
// libraries) that only the chip's verdict catches, the status replies a chip can give, a signal
// at an exact request, and several hubs updated at once by a tool process each.
#include "sim_run.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace sim_run;

// Runs the tool with `library` preloaded ahead of the virtual hub's own, and `environment`
// ("NAME=value ...") set for it.
std::vector<std::string> preloading(const char* library, const std::string& environment = "") {
    return {"/bin/sh", "-c", environment + " LD_PRELOAD=\"$0 $LD_PRELOAD\" exec \"$@\"", library};
}

struct ToolFault {
    const char* name;
    std::vector<std::string> wrapper;
    const char* words; // what the verdict must say
    bool tool_passes;  // the tool itself sees nothing wrong
    bool closing;      // the verdict ends with the line of an update that did not end
};

void PrintTo(const ToolFault& fault, std::ostream* out) {
    *out << fault.name;
}

class ToolFaults : public VirtualHub, public testing::WithParamInterface<ToolFault> {};

TEST_P(ToolFaults, TheVerdictCatchesEach) {
    const ToolFault& fault = GetParam();
    SimRun run = this->run({}, {"-vid=1234", "-pid=5678"}, fault.wrapper);
    EXPECT_EQ(run.process.exit_status, fault.tool_passes ? 0 : 1);
    EXPECT_EQ(run.process.out.find("Tovrela_FW_Update_PASS") != std::string::npos,
              fault.tool_passes);
    EXPECT_NE(run.verdict.find(fault.words), std::string::npos) << run.verdict;
    if (std::string(fault.words).find(" ms ") == std::string::npos) {
        // The wrapper's exec keeps the process and its clock: the tool's pauses still count.
        EXPECT_EQ(run.verdict.find(" ms after"), std::string::npos) << run.verdict;
    }
    EXPECT_EQ(split_verdict(run.verdict).closing.empty(), !fault.closing) << run.verdict;
}

// Image 1 has 4 blocks and Image 0 128: the frame of 0x0110 is the 137th of request B2, and
// Image 0's last CRC frame the 132nd of request B9.
INSTANTIATE_TEST_SUITE_P(
    Faults, ToolFaults,
    testing::Values(
        ToolFault{"NoPause", preloading(TOVRELA_NO_PAUSE_LIB),
                  "status read 0.000 ms after the transfer before it, where 321 ms were due", true,
                  false},
        ToolFault{
            "SplitPiece", preloading(TOVRELA_TRANSFER_FAULT_LIB, "TOVRELA_TRANSFER_FAULT=split:1"),
            "piece of 16 bytes at 0x0 of the block at offset 0x0, where 32 were due", false, true},
        ToolFault{"Missing0110",
                  preloading(TOVRELA_TRANSFER_FAULT_LIB, "TOVRELA_TRANSFER_FAULT=swallow:b2:137"),
                  "the update did not end; register 0x5000 last written with 0x0020 (confirmed)",
                  true, true},
        ToolFault{"BlockNeverArrives",
                  preloading(TOVRELA_TRANSFER_FAULT_LIB, "TOVRELA_TRANSFER_FAULT=swallow:b9:132"),
                  "stopped in Image 0 at block 127 (offset 0x7F000), half sent", false, true}),
    [](const auto& instance) { return std::string(instance.param.name); });

// A status reply that is not "finished" for a reader that checks it all: the tool reads again,
// and the update passes with the chip content.
class StatusFaults : public VirtualHub, public testing::WithParamInterface<const char*> {};

TEST_P(StatusFaults, TheToolReadsAgainAndPasses) {
    SimRun run = run_hub({}, {"--fault", GetParam()});
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) +
                                   passing_update(image0.size(), image1.size()));
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.verdict, "");
    EXPECT_EQ(run.flashed[0], image0);
    EXPECT_EQ(run.flashed[1], image1);
}

// The fifth status read is that of Image 1's third block.
INSTANTIATE_TEST_SUITE_P(Replies, StatusFaults,
                         testing::Values("bad-check:a3:5", "state=0b:a3:5", "state=00:a3:5",
                                         "reply-bytes=0:a3:5", "reply-bytes=7:a3:5"));

// Several hubs on one bed, each updated by a tool process of its own at the same time.
class SeveralHubs : public VirtualHub, public testing::WithParamInterface<int> {};

TEST_P(SeveralHubs, AreUpdatedAtOnce) {
    const std::vector<std::string> paths{"2.4", "2.5", "2.6", "2.7"};
    std::vector<std::string> argv{TOVRELA_SIM_BIN,     "--fast",      "--verdict",
                                  dir.file("verdict"), "--flash-out", dir.file("flash")};
    const auto hubs = static_cast<std::size_t>(GetParam());
    for (std::size_t i = 1; i < hubs; ++i) {
        argv.insert(argv.end(), {"--hub", "1:" + paths[i]});
    }
    argv.insert(argv.end(),
                {"--", "/bin/sh", "-c",
                 "tool=$0; pids=; for path in \"$@\"; do \"$tool\" -vid=1234 -pid=5678 -bus=1 "
                 "-path=$path >out.$path & pids=\"$pids $!\"; done; status=0; for pid in $pids; "
                 "do wait $pid || status=1; done; exit $status",
                 TOVRELA_UPDATE_BIN});
    argv.insert(argv.end(), paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(hubs));
    const test_process::Result result = test_process::run(argv, dir.path());
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(dir.read("verdict"), "");
    for (std::size_t i = 0; i < hubs; ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_NE(dir.read("out." + paths[i]).find(update_banner(true)), std::string::npos);
        const std::string flashed = "flash/1-" + paths[i] + "/image";
        EXPECT_EQ(dir.read(flashed + "0.bin"), std::string(image0.begin(), image0.end()));
        EXPECT_EQ(dir.read(flashed + "1.bin"), std::string(image1.begin(), image1.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(Bed, SeveralHubs, testing::Values(2, 4));

// The bed's own folder for the tool's locks, unless the caller names one.
TEST(SimulatorBed, GivesTheCommandALockFolderOfItsOwn) {
    test_files::TempDir dir;
    const std::vector<std::string> argv{
        TOVRELA_SIM_BIN, "--", "/bin/sh", "-c",
        "touch \"$TOVRELA_LOCK_DIR/1-2.4.lock\" && printf %s \"$TOVRELA_LOCK_DIR\""};
    const test_process::Result own = test_process::run(argv, dir.path());
    EXPECT_EQ(own.exit_status, 0);
    ASSERT_FALSE(own.out.empty());
    EXPECT_FALSE(std::filesystem::exists(own.out)) << "removed at the end";
    const test_process::Result given =
        test_process::run(argv, dir.path(), {"TOVRELA_LOCK_DIR=" + dir.path()});
    EXPECT_EQ(given.out, dir.path());
    EXPECT_TRUE(dir.exists("1-2.4.lock"));
}

} // namespace
