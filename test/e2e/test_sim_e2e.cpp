// The real tool on the real libusb against the virtual hub (tovrela-sim --fast): every road of
// the exit statuses, the device table and its filters, the chip operations' failures, the log
// file, the flashed bytes, the chip's verdict and the schedule of the tool's pauses.
#include "sim_run.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace sim_run;

// ---------------------------------------------------------------------------------------------
// The full update.

TEST_F(VirtualHub, FullUpdatePassesFlashesBothImagesAndKeepsTheSchedule) {
    SimRun run = run_hub({});

    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) +
                                   passing_update(image0.size(), image1.size()));
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.flashed[0], image0);
    EXPECT_EQ(run.flashed[1], image1);
    EXPECT_EQ(run.verdict, "");
    EXPECT_TRUE(run.trace.violations.empty());
    // The chip's verdict covers the pieces, the minimal pauses and the end of the update; the
    // schedule shows besides that the tool takes no pause more than it must.
    expect_pause_schedule(run.trace);
}

TEST_F(VirtualHub, VerboseUpdateWithBusyChipLogsEverythingToDebugLog) {
    write_files(smallest_image0, small_image1, "DbgMsg=1\nLogFile=1\n");
    SimRun run = run_hub({}, {"--busy", "2"});

    auto read_loop = std::string("    read-loop = 2\n");
    std::string settings = "    ----- Setting From Setting.ini -----\n"
                           "    LogFile=1\n    DeviceNum=1\n    ReadVerOnly=0\n    ReadBinOnly=0\n"
                           "    CheckUpdateOnly=0\n    BackUpOnly=0\n    I2CTestOnly=0\n"
                           "    TovrelaBin0=image0.bin\n    TovrelaBin1=image1.bin\n"
                           "    ------------------------------------\n"
                           "    ----- Setting From command.sh  -----\n"
                           "    Hub1VID=1234\n    Hub1PID=5678\n    Hub1Bin=\n    Bus=0\n"
                           "    Path=\n    gHubPDShareSPI=0\n    gReadVerOnly=0\n"
                           "    gReadBinOnly=0\n    gCheckUpdateOnly=0\n    gBackUpOnly=0\n"
                           "    ------------------------------------\n";
    auto flash = [](int selector, std::size_t size) {
        char line[64];
        std::snprintf(line, sizeof line, "TotalByte: 0x%zX = %zu KB\n", size, size / 1024);
        return "Tovrela_Flash_Write FW" + std::to_string(selector) + "\n" + line + progress(size) +
               "\n";
    };
    std::string after_banner = check_ok + settings + table(default_rows()) + reg_write("0010") +
                               read_loop + reg_write("0011") + read_loop + flash(1, image1.size()) +
                               reg_write("0012") + read_loop + reg_write("0020") + read_loop +
                               flash(0, image0.size()) + reg_write("0110") + read_loop +
                               update_banner(true) + "Status=0x1\n";

    EXPECT_EQ(run.process.out, banner + after_banner);
    EXPECT_EQ(dir.read("debug.log"), after_banner); // the banner comes before the profile
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.flashed[0], image0);
    EXPECT_EQ(run.flashed[1], image1);
    EXPECT_EQ(run.verdict, "");
    expect_pause_schedule(run.trace);
}

// One failing step of the update: the text printed between the table and the FAIL banner, and
// the failing transfer, after which nothing is sent.
struct UpdateFailure {
    const char* name;
    std::vector<std::string> sim_options;
    std::string output;
};

void PrintTo(const UpdateFailure& failure, std::ostream* out) {
    *out << failure.name;
}

class UpdateFails : public VirtualHub, public testing::WithParamInterface<UpdateFailure> {};

TEST_P(UpdateFails, StopsAtTheStepWithItsMessageAndExitStatus1) {
    const auto& failure = GetParam();
    SimRun run = run_hub({}, failure.sim_options);

    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + failure.output +
                                   update_banner(false) + "Status=0x0\n");
    EXPECT_EQ(run.process.exit_status, 1);
    // A cut frame may be a violation in the chip's eyes; every other failure leaves none.
    const bool cut = failure.output.find("Short") != std::string::npos;
    const Verdict verdict = split_verdict(run.verdict);
    if (!cut) {
        EXPECT_EQ(verdict.violations, "");
    }
    // Only a run whose first frame failed never began the update.
    EXPECT_EQ(verdict.closing.empty(), std::string(failure.name) == "FirstFrameStalls");
    expect_pause_schedule(run.trace);
    auto transfers = run.trace.transfers();
    ASSERT_FALSE(transfers.empty());
    if (failure.output.find("Tout") == std::string::npos && !cut) {
        EXPECT_NE(transfers.back().result.find_first_not_of("0123456789"), std::string::npos)
            << "the last transfer is the failing one";
    }
}

const std::string image1_start =
    reg_write("0010") + reg_write("0011") + "Tovrela_Flash_Write FW1\n";
const std::string before_image0 = reg_write("0010") + reg_write("0011") +
                                  flash_written(1, small_image1) + reg_write("0012") +
                                  reg_write("0020");
const std::string image0_start = before_image0 + "Tovrela_Flash_Write FW0\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, UpdateFails,
    testing::Values(
        UpdateFailure{"FirstFrameStalls",
                      {"--fault", "stall:b2:1"},
                      reg_write("0010") + "I2C-WriteCmd B2 Fail -9\n"},
        UpdateFailure{"StatusReadStalls",
                      {"--fault", "stall:a3:1"},
                      reg_write("0010") + "I2C-ReadCmd A3 Fail -9\n"},
        UpdateFailure{"RegisterWriteNeverFinishes",
                      {"--fault", "never-finish:a3:1"},
                      reg_write("0010") + "Tovrela_Reg_Tout\n"},
        UpdateFailure{"Value0012Unplugged",
                      {"--fault", "nodev:b2:7"},
                      reg_write("0010") + reg_write("0011") + flash_written(1, 12321) +
                          reg_write("0012") + "I2C-WriteCmd B2 Fail -4\n"},
        UpdateFailure{"Value0020NeverFinishes",
                      {"--fault", "never-finish:a3:8"},
                      reg_write("0010") + reg_write("0011") + flash_written(1, 12321) +
                          reg_write("0012") + reg_write("0020") + "Tovrela_Reg_Tout\n"},
        UpdateFailure{
            "PrepareStalls", {"--fault", "stall:b2:3"}, image1_start + "I2C-WriteCmd B2 Fail -9\n"},
        UpdateFailure{
            "HeaderStalls", {"--fault", "stall:b7:2"}, image1_start + "I2C-WriteCmd B7 Fail -9\n"},
        UpdateFailure{"DataPieceTimesOut",
                      {"--fault", "timeout:b8:200"},
                      image1_start + "I2C-WriteCmd B8 Fail -7\n"},
        UpdateFailure{
            "CrcUnplugged", {"--fault", "nodev:b9:1"}, image1_start + "I2C-WriteCmd B9 Fail -4\n"},
        UpdateFailure{"BlockStatusStalls",
                      {"--fault", "stall:a3:3"},
                      image1_start + "I2C-ReadCmd A3 Fail -9\n"},
        UpdateFailure{"BlockNeverFinishes",
                      {"--fault", "never-finish:a3:4"},
                      image1_start + "\rprogress=33%\nTovrela_FFW_Tout\n\t read-loop = A\n\n"},
        UpdateFailure{"Image0HeaderStalls",
                      {"--fault", "stall:b7:5"},
                      image0_start + "I2C-WriteCmd B7 Fail -9\n"},
        // After both images: 2 + 4 + 2 + 128 frames before the one of 0x0110.
        // A transfer that moves only part of its bytes is no sent frame.
        UpdateFailure{"RegisterFrameShort",
                      {"--fault", "short:b2:2"},
                      reg_write("0010") + reg_write("0011") + "I2C-WriteCmd B2 Short 6 of 13\n"},
        UpdateFailure{"HeaderShort",
                      {"--fault", "short:b7:1"},
                      image1_start + "I2C-WriteCmd B7 Short 4 of 9\n"},
        UpdateFailure{"DataPieceShort",
                      {"--fault", "short:b8:1"},
                      image1_start + "I2C-WriteCmd B8 Short 16 of 32\n"},
        UpdateFailure{"LastValueStalls",
                      {"--fault", "stall:b2:137"},
                      before_image0 + flash_written(0, smallest_image0) + reg_write("0110") +
                          "I2C-WriteCmd B2 Fail -9\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// Image sizes the writer refuses, each before the chip is touched: both images are checked
// before the first register write.
TEST_F(VirtualHub, ImageSizeErrorsStopTheUpdate) {
    struct Case {
        std::size_t size0;
        std::size_t size1;
        std::string output;
    };
    const Case cases[] = {
        {0x80000, 0x80001, "  BinFile1 Size Error\n"},
        {0x80000, 0x200001, "  BinFile Size Error\n"},
        {0x80000, 0, "  BinFile1 Size Error\n"},
        {0x7FFFF, 100, "  BinFile0 Size Error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size0 << " " << c.size1);
        write_files(c.size0 > 0x100000 ? 0 : c.size0, c.size1 > 0x100000 ? 0 : c.size1);
        if (c.size1 > 0x100000) {
            write_sparse("image1.bin", c.size1);
        }
        SimRun run = run_hub({});
        EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + c.output +
                                       update_banner(false) + "Status=0x0\n");
        EXPECT_EQ(run.process.exit_status, 1);
        EXPECT_TRUE(run.trace.transfers().empty());
    }
}

// ---------------------------------------------------------------------------------------------
// The other modes and the exit statuses.

struct ModeCase {
    const char* name;
    std::vector<std::string> tool_args;
    std::vector<std::string> sim_options;
    std::string output; // after the table
    int exit_status;
    bool cut_frame = false; // the chip saw a cut frame, a violation in its eyes
};

void PrintTo(const ModeCase& mode, std::ostream* out) {
    *out << mode.name;
}

class Modes : public VirtualHub, public testing::WithParamInterface<ModeCase> {};

TEST_P(Modes, PrintAndExitAsTheTableSays) {
    const auto& mode = GetParam();
    write_versioned_image0(2, 13, 15, 5);
    SimRun run = run_hub(mode.tool_args, mode.sim_options);
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + mode.output);
    EXPECT_EQ(run.process.exit_status, mode.exit_status);
    EXPECT_EQ(run.verdict.empty(), !mode.cut_frame) << run.verdict;
    EXPECT_TRUE(run.flashed[0].empty());
    EXPECT_TRUE(run.flashed[1].empty());
}

const std::string image_version = "BinFile0 Version=2.13.15.5\n";

INSTANTIATE_TEST_SUITE_P(
    ExitStatuses, Modes,
    testing::Values(
        ModeCase{"ReadVersion", {"-readveronly=1"}, {}, default_versions + "Status=0x1\n", 0},
        ModeCase{"ReadVersionAddressStalls",
                 {"-readveronly=1"},
                 {"--fault", "stall:b7:2"},
                 "I2C-WriteCmd B7 Fail -9\nFailed to read register\nStatus=0x0\n",
                 1},
        ModeCase{"ReadVersionAddressShort",
                 {"-readveronly=1"},
                 {"--fault", "short:b7:1"},
                 "I2C-WriteCmd B7 Short 1 of 3\nFailed to read register\nStatus=0x0\n",
                 1,
                 true},
        ModeCase{"CheckAddressShort",
                 {"-checkupdateonly=1"},
                 {"--fault", "short:b7:3"},
                 "I2C-WriteCmd B7 Short 1 of 3\nFailed to read register\n"
                 "Failed to query current FW version\n",
                 255,
                 true},
        ModeCase{"ReadVersionShortReply",
                 {"-readveronly=1"},
                 {"--fault", "short:a3:3"},
                 "Tovrela_Reg_Read 1201 short reply 1\nFailed to read register\nStatus=0x0\n",
                 1},
        ModeCase{"ReadVersionBytes",
                 {"-readveronly=1"},
                 {"--version-bytes", "1,2,3,4,5,7"},
                 version_lines({1, 2, 3, 4, 5, 7}) + "Status=0x1\n",
                 0},
        ModeCase{"ReadImage", {"-readbinonly=1"}, {}, image_version + "Status=0x1\n", 0},
        ModeCase{"ReadVersionBeforeReadImage",
                 {"-readbinonly=1", "-readveronly=1"},
                 {},
                 default_versions + "Status=0x1\n",
                 0},
        ModeCase{"CheckUpdateAvailable",
                 {"-checkupdateonly=1"},
                 {},
                 default_versions + image_version +
                     "FW Current: 2.13.15.4\nFW Available: 2.13.15.5\nFW update available\n",
                 0},
        ModeCase{"CheckUpToDate",
                 {"-checkupdateonly=1", "-readveronly=1"},
                 {"--version-bytes", "2,13,15,0,0,5"},
                 version_lines({2, 13, 15, 0, 0, 5}) + image_version +
                     "FW Current: 2.13.15.5\nFW Available: 2.13.15.5\nFW up to date\n",
                 7},
        ModeCase{"CheckDeviceVersionFails",
                 {"-checkupdateonly=1"},
                 {"--fault", "timeout:a3:1"},
                 "I2C-ReadCmd A3 Fail -7\nFailed to read register\n"
                 "Failed to query current FW version\n",
                 255}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(VirtualHub, ReadImageFailsOnOversizedImage1WithExitStatus1) {
    write_sparse("image1.bin", 0x200001);
    SimRun run = run_hub({"-readbinonly=1"});
    EXPECT_EQ(run.process.out,
              banner + check_ok + table(default_rows()) + "  BinFile1 Size Error\nStatus=0x0\n");
    EXPECT_EQ(run.process.exit_status, 1);
    EXPECT_TRUE(run.trace.transfers().empty());
}

TEST_F(VirtualHub, CheckWithoutImageVersionExits254) {
    SimRun run = run_hub({"-checkupdateonly=1"}); // Image 0 of 0x80000 bytes holds no version
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + default_versions +
                                   "Failed to query available FW version\n");
    EXPECT_EQ(run.process.exit_status, 254);
}

TEST_F(VirtualHub, CheckWithOversizedImage0Exits254) {
    write_sparse("image0.bin", 0x200001);
    SimRun run = run_hub({"-checkupdateonly=1"});
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + default_versions +
                                   "  BinFile0 Size Error\nFailed to query available FW version\n");
    EXPECT_EQ(run.process.exit_status, 254);
}

TEST_F(VirtualHub, SelfTestRunsWithoutTouchingUsb) {
    SimRun run = run_hub({"-selftest=1", "-readveronly=1"});
    std::string tests;
    for (const char* name : {"fw_version_gt equal", "fw_version_gt gt", "fw_version_gt lt",
                             "fw_version_gt gt advanced", "fw_version_gt lt advanced"}) {
        tests += std::string("Running test \"") + name + "\" ... passed\n";
    }
    EXPECT_EQ(run.process.out, banner + check_ok + "Running self tests\n" +
                                   "\nRunning test suite: misc\n" + tests +
                                   "\nTest result: success\n");
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_TRUE(run.trace.transfers().empty());
}

TEST_F(VirtualHub, LibusbInitFailureExitsWithItsCode) {
    // Too few file descriptors for libusb's event machinery: libusb_init reports -99.
    SimRun limited = run({}, {"-vid=1234", "-pid=5678"}, {"prlimit", "--nofile=5"});
    EXPECT_EQ(limited.process.out, banner + check_ok + "libusb_init failed -99\n");
    EXPECT_EQ(limited.process.exit_status, 157);
}

TEST_F(VirtualHub, NoMatchingDeviceExits251) {
    SimRun run = this->run({}, {"-vid=1234", "-pid=5679"});
    EXPECT_EQ(run.process.out,
              banner + check_ok + table(default_rows(' '), false) + "target device not found -5\n");
    EXPECT_EQ(run.process.exit_status, 251);
}

TEST_F(VirtualHub, MachineWithoutDevicesExits251) {
    SimRun run = run_hub({}, {"--no-devices"});
    EXPECT_EQ(run.process.out,
              banner + check_ok + table("", false) + "target device not found -5\n");
    EXPECT_EQ(run.process.exit_status, 251);
}

TEST_F(VirtualHub, OpenFailureExitsWithTheLibusbCode) {
    SimRun run = run_hub({}, {"--unplugged"});
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) +
                                   "liusb_open failed LIBUSB_ERROR_NO_DEVICE(-4)\n");
    EXPECT_EQ(run.process.exit_status, 252);
}

TEST_F(VirtualHub, MissingImageLeavesTheCommandLineUnreadAndIdentifiersZero) {
    std::filesystem::remove(dir.file("image1.bin"));
    SimRun run = run_hub({"-selftest=1"});
    EXPECT_EQ(run.process.out, banner +
                                   "    SPI-IMAGE: image0.bin Check OK\n"
                                   "Protection : Tovrela_Bin1_Open_Fail.\n" +
                                   table(default_rows(' '), false) +
                                   "target device not found -5\n");
    EXPECT_EQ(run.process.exit_status, 251);
}

// The simulator's own exit statuses: the command's, 128 + a signal, 127 when the command cannot
// run, 125 for a command line the simulator refuses.
TEST(SimulatorExit, PassesOnTheCommandsStatus) {
    struct Case {
        std::vector<std::string> argv;
        int exit_status;
    };
    const Case cases[] = {
        {{"--", "/bin/sh", "-c", "exit 3"}, 3},
        {{"--", "/bin/sh", "-c", "kill -TERM $$"}, 128 + 15},
        {{"--", "/nonexistent/command"}, 127},
        {{"--fault", "stall:b2", "--", "/bin/true"}, 125},
        {{"--port-path", "2.0", "--", "/bin/true"}, 125},
        {{"--extra-device", "1:2.4:1:1", "--", "/bin/true"}, 125}, // the hub's place
        {{"/bin/true"}, 125},
        {{"--fast=1", "--", "/bin/true"}, 125},
        {{"--flash-out", "--", "/bin/true"}, 125},
        {{"--fault", "reply-bytes=8:a3:1", "--", "/bin/true"}, 125},
        {{"--hub", "1:2.4", "--", "/bin/true"}, 125}, // the hub's place
        {{"--fast", "--signal", "TERM:b8:1", "--", "/bin/true"}, 0},
        {{"--version"}, 0},
        {{"--help"}, 0},
    };
    test_files::TempDir dir;
    for (const auto& c : cases) {
        std::vector<std::string> argv{TOVRELA_SIM_BIN};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        SCOPED_TRACE(argv.back());
        EXPECT_EQ(test_process::run(argv, dir.path()).exit_status, c.exit_status);
    }
}

// ---------------------------------------------------------------------------------------------
// The device table and its filters.

struct TableCase {
    const char* name;
    std::vector<std::string> tool_args;
    std::vector<std::string> sim_options;
    std::string rows;
    bool found;
    const char* err = ""; // standard error
};

void PrintTo(const TableCase& c, std::ostream* out) {
    *out << c.name;
}

class DeviceTable : public VirtualHub, public testing::WithParamInterface<TableCase> {};

TEST_P(DeviceTable, ShowsEachDeviceAndTheFilterLines) {
    const auto& c = GetParam();
    std::vector<std::string> args = c.tool_args;
    args.push_back("-readveronly=1");
    SimRun run = run_hub(args, c.sim_options);
    EXPECT_EQ(run.process.out,
              banner + check_ok + table(c.rows, c.found) +
                  (c.found ? default_versions + "Status=0x1\n" : "target device not found -5\n"));
    EXPECT_EQ(run.process.exit_status, c.found ? 0 : 251);
    EXPECT_EQ(run.process.err, c.err);
}

const std::string multi_hub_2 = "          [Multi-Hub] get_path_number = 2\n";

INSTANTIATE_TEST_SUITE_P(
    Filters, DeviceTable,
    testing::Values(
        TableCase{"PathMatches", {"-path=2.4"}, {}, default_rows('*', multi_hub_2), true},
        TableCase{"PathPrefixMatches", {"-path=2"}, {}, default_rows('*', multi_hub_2), true},
        TableCase{
            "PathDiffersAtFirstPort",
            {"-path=3.4"},
            {},
            default_rows(' ', multi_hub_2 + "          [Dev 2] target_path[0]_3 != path[0]_2\n"),
            false},
        TableCase{
            "PathDiffersAtSecondPort",
            {"-path=2.5"},
            {},
            default_rows(' ', multi_hub_2 + "          [Dev 2] target_path[1]_5 != path[1]_4\n"),
            false},
        TableCase{
            "PathLongerThanTheHubs",
            {"-path=2.4.1"},
            {},
            default_rows(' ', multi_hub_2 + "          [Dev 2] target_path[2]_1 != path[2]_0\n"),
            false},
        TableCase{"BusMatches",
                  {"-bus=1"},
                  {},
                  default_rows('*', "          [Dev 2] current_BUS_1 == target_BUS_1\n"),
                  true},
        TableCase{"BusDiffers",
                  {"-bus=2"},
                  {},
                  default_rows(' ', "          [Dev 2] current_BUS_1 != target_BUS_2\n"),
                  false},
        TableCase{
            "PathRejectsBeforeBus",
            {"-path=2.5", "-bus=1"},
            {},
            default_rows(' ', multi_hub_2 + "          [Dev 2] target_path[1]_5 != path[1]_4\n"),
            false},
        TableCase{"HubOnBus3",
                  {"-bus=3", "-path=1"},
                  {"--bus", "3", "--port-path", "1"},
                  "          [Multi-Hub] get_path_number = 1\n"
                  "          [Dev 0] current_BUS_3 == target_BUS_3\n"
                  "(*)000000 1234:5678 bcdDevice 0100 (address 02) bus 3, path 1\n"
                  "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 3,\n"
                  "( )000002 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
                  "( )000003 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
                  "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n",
                  true},
        TableCase{"BusBelowTheHubs",
                  {"-bus=1", "-path=1"},
                  {"--bus", "3", "--port-path", "1"},
                  "          [Multi-Hub] get_path_number = 1\n"
                  "          [Dev 0] current_BUS_3 != target_BUS_1\n"
                  "( )000000 1234:5678 bcdDevice 0100 (address 02) bus 3, path 1\n"
                  "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 3,\n"
                  "( )000002 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
                  "( )000003 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
                  "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n",
                  false},
        TableCase{"RootHubWithTheIdsHasNoPath",
                  {"-path=2.4"},
                  {"--extra-device", "2:0:1234:5678"},
                  "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
                  "          [Multi-Hub] get_path_number = 0\n"
                  "( )000001 1234:5678 bcdDevice 0100 (address 01) bus 2,\n" +
                      multi_hub_2 +
                      "(*)000002 1234:5678 bcdDevice 0100 (address 03) bus 1, path 2.4\n"
                      "( )000003 1111:0001 bcdDevice 0100 (address 02) bus 1, path 2\n"
                      "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n",
                  true},
        TableCase{"TwoMatchingHubsTheLaterIsTaken",
                  {},
                  {"--extra-device", "1:3:1234:5678"},
                  "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
                  "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
                  "(*)000002 1234:5678 bcdDevice 0100 (address 04) bus 1, path 3\n"
                  "(*)000003 1234:5678 bcdDevice 0100 (address 03) bus 1, path 2.4\n"
                  "( )000004 1111:0001 bcdDevice 0100 (address 02) bus 1, path 2\n"
                  "( )000005 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n",
                  true,
                  "Warning: 2 devices match; using the last one listed, bus 1 path 2.4; choose "
                  "one with -path=\n"}),
    [](const auto& instance) { return std::string(instance.param.name); });

// The later of two matching hubs is not the one with the chip: every request to it stalls.
TEST_F(VirtualHub, TwoMatchingHubsTheLaterOneGetsTheRequests) {
    SimRun run = run_hub({"-readveronly=1"}, {"--extra-device", "1:1:1234:5678"});
    std::string rows = "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
                       "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
                       "(*)000002 1234:5678 bcdDevice 0100 (address 04) bus 1, path 2.4\n"
                       "( )000003 1111:0001 bcdDevice 0100 (address 03) bus 1, path 2\n"
                       "(*)000004 1234:5678 bcdDevice 0100 (address 02) bus 1, path 1\n"
                       "( )000005 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n";
    EXPECT_EQ(run.process.out, banner + check_ok + table(rows) +
                                   "I2C-WriteCmd B7 Fail -9\nI2C-WriteCmd B7 Fail -9\n"
                                   "I2C-WriteCmd B7 Fail -9\nFailed to read register\n"
                                   "Status=0x0\n");
    EXPECT_EQ(run.process.exit_status, 1);
    auto transfers = run.trace.transfers();
    ASSERT_EQ(transfers.size(), 3u);
    for (const auto& transfer : transfers) {
        EXPECT_EQ(transfer.kind, 'X');
    }
}

} // namespace
