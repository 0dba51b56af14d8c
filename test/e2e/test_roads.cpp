// The real tool on the real libusb against the virtual hub: every road of the run modes and exit
// statuses, the device table and its filters, a fault at each step of the update, a stop signal,
// hostile input. Each case compares the whole output and relies on the chip's verdict for the
// wire: frames, check bytes, CRCs, piece sizes, pauses, the order of the register values.
#include "sim_run.h"

#include <filesystem>
#include <sys/stat.h>

namespace {

using namespace sim_run;
using test_files::TempDir;

const std::string not_found = table(rows(' '), false) + "target device not found -5\n";
const std::string failed = fail_banner + "Status=0x0\n";
const std::string image_version = "BinFile0 Version=2.13.15.5\n";
const std::string images = "TovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n";
const std::string incomplete =
    "; the chip's flash is incomplete: run the update again without unplugging the hub\n";

void sparse(const TempDir& dir, const char* name, std::size_t size) {
    dir.write(name, std::string());
    std::filesystem::resize_file(dir.file(name), size);
}

void versioned(const TempDir& dir) {
    std::vector<uint8_t> bytes(0x100000, 0x5A);
    bytes[0xFFFF0] = 2; // major, then minor, revision and customer minor
    bytes[0xFFFED] = 13;
    bytes[0xFFFEE] = 15;
    bytes[0xFFFF1] = 5;
    dir.write("image0.bin", bytes);
}

void logged(const TempDir& dir) {
    dir.write("update.ini", "[Config]\nDbgMsg=1\nLogFile=1\n" + images);
}

struct Road {
    const char* name;
    void (*prepare)(const TempDir&); // over the default profile and images; may be null
    std::vector<std::string> args;   // the hub's ids come first unless "-vid" does
    std::vector<std::string> sim;
    std::string out; // after the banner
    int exit_status;
    std::string violations = "";
};

void PrintTo(const Road& road, std::ostream* out) {
    *out << road.name;
}

class Roads : public VirtualHub, public testing::WithParamInterface<Road> {};

TEST_P(Roads, EndWithTheirOutputAndExitStatus) {
    const Road& road = GetParam();
    if (road.prepare != nullptr) {
        road.prepare(dir);
    }
    std::vector<std::string> args = road.args;
    if (args.empty() || args[0].rfind("-vid", 0) != 0) {
        args.insert(args.begin(), {"-vid=1234", "-pid=5678"});
    }
    const SimRun run = this->run(road.sim, args);
    EXPECT_EQ(run.process.out, banner + road.out);
    EXPECT_EQ(run.process.exit_status, road.exit_status);
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.violations, road.violations);
    expect_flashed(run, road.out.ends_with(pass_banner + "Status=0x1\n"));
    if (road.prepare == logged) {
        EXPECT_EQ(dir.read("debug.log"), road.out); // everything but the banner
    }
}

const std::string settings_printout =
    "    ----- Setting From Setting.ini -----\n"
    "    LogFile=1\n    DeviceNum=1\n    ReadVerOnly=0\n    ReadBinOnly=0\n"
    "    CheckUpdateOnly=0\n    BackUpOnly=0\n    I2CTestOnly=0\n"
    "    TovrelaBin0=image0.bin\n    TovrelaBin1=image1.bin\n"
    "    ------------------------------------\n"
    "    ----- Setting From command.sh  -----\n"
    "    Hub1VID=1234\n    Hub1PID=5678\n    Hub1Bin=\n    Bus=0\n"
    "    Path=\n    gHubPDShareSPI=0\n    gReadVerOnly=0\n"
    "    gReadBinOnly=0\n    gCheckUpdateOnly=0\n    gBackUpOnly=0\n"
    "    ------------------------------------\n";
const std::string loop2 = "    read-loop = 2\n";
const std::string self_test = "Running self tests\n\nRunning test suite: misc\n"
                              "Running test \"fw_version_gt equal\" ... passed\n"
                              "Running test \"fw_version_gt gt\" ... passed\n"
                              "Running test \"fw_version_gt lt\" ... passed\n"
                              "Running test \"fw_version_gt gt advanced\" ... passed\n"
                              "Running test \"fw_version_gt lt advanced\" ... passed\n"
                              "\nTest result: success\n";
const std::string image1_refused =
    "    SPI-IMAGE: image0.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n" + not_found;
const std::string read_version = on_hub(chip_versions + "Status=0x1\n");
const std::string image1_begun = reg("0010") + reg("0011") + "Tovrela_Flash_Write FW1\n";

INSTANTIATE_TEST_SUITE_P(
    Modes, Roads,
    testing::Values(
        Road{"FullUpdate", nullptr, {}, {}, on_hub(passing_update), 0},
        Road{"VerboseUpdateOfABusyChipIsLogged",
             logged,
             {},
             {"--busy", "2"},
             check_ok + settings_printout + table(rows()) + reg("0010") + loop2 + reg("0011") +
                 loop2 + "Tovrela_Flash_Write FW1\nTotalByte: 0x3021 = 12 KB\n" +
                 image1_written.substr(24) + reg("0012") + loop2 + reg("0020") + loop2 +
                 "Tovrela_Flash_Write FW0\nTotalByte: 0x80000 = 512 KB\n" +
                 image0_written.substr(24) + reg("0110") + loop2 + pass_banner + "Status=0x1\n",
             0},
        Road{"ReadVersion", versioned, {"-readveronly=1"}, {}, read_version, 0},
        Road{"ReadVersionBytesInOrder",
             nullptr,
             {"-readveronly=1"},
             {"--version-bytes", "1,2,3,4,5,7"},
             on_hub(versions({1, 2, 3, 4, 5, 7}) + "Status=0x1\n"),
             0},
        Road{"ReadImage",
             versioned,
             {"-readbinonly=1"},
             {},
             on_hub(image_version + "Status=0x1\n"),
             0},
        Road{"ReadVersionWinsOverReadImage",
             versioned,
             {"-readbinonly=1", "-readveronly=1"},
             {},
             read_version,
             0},
        Road{"CheckFindsAnUpdate",
             versioned,
             {"-checkupdateonly=1"},
             {},
             on_hub(chip_versions + image_version +
                    "FW Current: 2.13.15.4\nFW Available: 2.13.15.5\nFW update available\n"),
             0},
        Road{"CheckWinsOverReadVersionAndFindsItUpToDate",
             versioned,
             {"-checkupdateonly=1", "-readveronly=1"},
             {"--version-bytes", "2,13,15,0,0,5"},
             on_hub(versions({2, 13, 15, 0, 0, 5}) + image_version +
                    "FW Current: 2.13.15.5\nFW Available: 2.13.15.5\nFW up to date\n"),
             7},
        Road{"SelfTestWinsAndTouchesNoUsb",
             nullptr,
             {"-selftest=1", "-checkupdateonly=1", "-readveronly=1"},
             {"--fault", "stall:b7:1"},
             check_ok + self_test,
             0}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Failures, Roads,
    testing::Values(
        Road{"CheckCannotReadTheChip",
             versioned,
             {"-checkupdateonly=1"},
             {"--fault", "timeout:a3:1"},
             on_hub("I2C-ReadCmd A3 Fail -7\nFailed to read register\n"
                    "Failed to query current FW version\n"),
             255},
        Road{"CheckFindsNoImageVersion",
             nullptr,
             {"-checkupdateonly=1"},
             {},
             on_hub(chip_versions + "Failed to query available FW version\n"),
             254},
        Road{
            "CheckWithOversizedImage0",
            [](const TempDir& dir) { sparse(dir, "image0.bin", 0x200001); },
            {"-checkupdateonly=1"},
            {},
            on_hub(chip_versions + "  BinFile0 Size Error\nFailed to query available FW version\n"),
            254},
        Road{"ReadImageWithOversizedImage1",
             [](const TempDir& dir) { sparse(dir, "image1.bin", 0x200001); },
             {"-readbinonly=1"},
             {},
             on_hub("  BinFile1 Size Error\nStatus=0x0\n"),
             1},
        Road{"ReadImageOf4GiBAnd16Bytes",
             [](const TempDir& dir) { sparse(dir, "image0.bin", 0x100000010); },
             {"-readbinonly=1"},
             {},
             on_hub("  BinFile0 Size Error\nStatus=0x0\n"),
             1},
        Road{"ReadVersionAddressStalls",
             nullptr,
             {"-readveronly=1"},
             {"--fault", "stall:b7:2"},
             on_hub("I2C-WriteCmd B7 Fail -9\nFailed to read register\nStatus=0x0\n"),
             1},
        Road{"ReadVersionShortReply",
             nullptr,
             {"-readveronly=1"},
             {"--fault", "short:a3:3"},
             on_hub("Tovrela_Reg_Read 1201 short reply 1\nFailed to read register\nStatus=0x0\n"),
             1},
        Road{"CheckAddressShort",
             versioned,
             {"-checkupdateonly=1"},
             {"--fault", "short:b7:3"},
             on_hub("I2C-WriteCmd B7 Short 1 of 3\nFailed to read register\n"
                    "Failed to query current FW version\n"),
             255,
             "Transfer 5 (request B7): 1 bytes, neither a register address (3) nor a block header "
             "(9): E8\n"},
        Road{"NoMatchingHub", nullptr, {"-vid=1234", "-pid=5679"}, {}, check_ok + not_found, 251},
        Road{"NoDevicesAtAll",
             nullptr,
             {},
             {"--no-devices"},
             check_ok + table("", false) + "target device not found -5\n",
             251},
        Road{"HubCannotBeOpened",
             nullptr,
             {},
             {"--unplugged"},
             on_hub("liusb_open failed LIBUSB_ERROR_NO_DEVICE(-4)\n"),
             252},
        // A missing image stops the load before the command line: ids 0, no self test.
        Road{"MissingImage1",
             [](const TempDir& dir) { std::filesystem::remove(dir.file("image1.bin")); },
             {"-selftest=1"},
             {},
             image1_refused,
             251},
        Road{"Image0BelowItsMinimum",
             [](const TempDir& dir) { dir.write("image0.bin", std::string(0x7FFFF, 'a')); },
             {},
             {},
             on_hub("  BinFile0 Size Error\n" + failed),
             1},
        Road{"Image1AboveItsMaximum",
             [](const TempDir& dir) { dir.write("image1.bin", std::string(0x80001, 'a')); },
             {},
             {},
             on_hub("  BinFile1 Size Error\n" + failed),
             1},
        Road{"EmptyImage1",
             [](const TempDir& dir) { dir.write("image1.bin", std::string()); },
             {},
             {},
             on_hub("  BinFile1 Size Error\n" + failed),
             1},
        Road{"Image0AboveTheGeneralLimit",
             [](const TempDir& dir) { sparse(dir, "image0.bin", 0x200001); },
             {},
             {},
             on_hub("  BinFile Size Error\n" + failed),
             1},
        Road{"Image1Of4GiBAnd16Bytes",
             [](const TempDir& dir) { sparse(dir, "image1.bin", 0x100000010); },
             {},
             {},
             on_hub("  BinFile Size Error\n" + failed),
             1}),
    [](const auto& info) { return std::string(info.param.name); });

// The step in progress finishes, then the tool says where it stopped and exits with 128 + N.
INSTANTIATE_TEST_SUITE_P(
    Signals, Roads,
    testing::Values(
        Road{"IntDuringImage1",
             nullptr,
             {},
             {"--signal", "INT:b8:5"},
             on_hub(image1_begun +
                    "\nStopped by SIGINT after block 1 of 4 of Image 1 (offset 0x0)" + incomplete +
                    failed),
             130},
        Road{"TermBetweenTheImages",
             nullptr,
             {},
             {"--signal", "TERM:b2:7"},
             on_hub(reg("0010") + reg("0011") + image1_written + reg("0012") +
                    "Stopped by SIGTERM after register 5000=0012" + incomplete + failed),
             143},
        Road{"HupDuringImage0",
             nullptr,
             {},
             {"--signal", "HUP:b9:10"},
             on_hub(before_image0 + "Tovrela_Flash_Write FW0\n" + percents(1, 3) +
                    "\nStopped by SIGHUP after block 6 of 128 of Image 0 (offset 0x5000)" +
                    incomplete + failed),
             129},
        Road{"QuitBetweenRegisterReads",
             nullptr,
             {"-readveronly=1"},
             {"--signal", "QUIT:b7:1"},
             on_hub("Stopped by SIGQUIT before register 1101 was read\nStatus=0x0\n"),
             131},
        Road{"DuringTheLastWriteStopsNothing",
             nullptr,
             {},
             {"--signal", "TERM:b2:137"},
             on_hub(passing_update),
             0},
        Road{"SecondEndsTheToolAtOnce",
             nullptr,
             {},
             {"--signal", "INT:b8:5", "--signal", "INT:b8:6"},
             on_hub(image1_begun),
             130}),
    [](const auto& info) { return std::string(info.param.name); });

// Hostile input ends with its message and exit status, never with a crash, a hang or a flash.
INSTANTIATE_TEST_SUITE_P(
    Hostile, Roads,
    testing::Values(
        Road{"ProfileLineOf1MiB",
             [](const TempDir& dir) {
                 dir.write("update.ini", "[Config]\n" + std::string(1 << 20, 'x') + "\n" + images);
             },
             {"-readveronly=1"},
             {},
             read_version,
             0},
        Road{"ProfileOfBinaryBytes",
             [](const TempDir& dir) {
                 dir.write("update.ini", test_files::pattern_bytes(1 << 20, 7));
             },
             {"-readveronly=1"},
             {},
             "TovrelaBin0_Error\n" + not_found,
             251},
        Road{"ProfileIsAFifo",
             [](const TempDir& dir) {
                 std::filesystem::remove(dir.file("update.ini"));
                 mkfifo(dir.file("update.ini").c_str(), 0600);
             },
             {"-readveronly=1"},
             {},
             "TovrelaBin0_Error\n" + not_found,
             251},
        Road{"ImageIsAFifo",
             [](const TempDir& dir) {
                 mkfifo(dir.file("fifo").c_str(), 0600);
                 dir.write("update.ini", "[Config]\nTovrelaBin0=image0.bin\nTovrelaBin1=fifo\n");
             },
             {"-readveronly=1"},
             {},
             image1_refused,
             251},
        Road{"CommandLineOf1MiB",
             nullptr,
             [] { // 16 arguments of 64 KiB: one may hold at most 128 KiB
                 std::vector<std::string> args(16, std::string(1 << 16, 'a'));
                 args.insert(args.begin(), {"-vid=1234", "-pid=5678", "-readveronly=1"});
                 return args;
             }(),
             {},
             read_version,
             0},
        // A value is cut to its destination; a path of 10,000 characters keeps its first ports.
        Road{"OptionValuesOf10000Characters",
             nullptr,
             {"-readveronly=1", "-hub1bin=" + std::string(10000, 'b'),
              "-path=2.4" + std::string(9997, '.')},
             {},
             check_ok + table(rows('*', "          [Multi-Hub] get_path_number = 2\n")) +
                 chip_versions + "Status=0x1\n",
             0},
        Road{"DebugLogIsAFifo",
             [](const TempDir& dir) {
                 mkfifo(dir.file("debug.log").c_str(), 0600);
                 dir.write("update.ini", "[Config]\nLogFile=1\n" + images);
             },
             {"-readveronly=1"},
             {},
             on_hub(chip_versions + "Status=0x1\n"),
             0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
