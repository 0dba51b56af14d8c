// The real tool on the real libusb against the virtual hub: every road of the run modes and exit
// statuses, the device table and its filters, a stop signal, hostile input. Each case compares
// the whole output and relies on the chip's verdict for the wire: frames, check bytes, CRCs,
// piece sizes, pauses, the order of the register values.
#include "param_suite.h"
#include "sim_run.h"
#include "update_geometry.h"

#include <csignal>
#include <cstdio>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace sim_run;
using param_suite::case_name;
using param_suite::PrintTo;
using test_files::TempDir;
using update_geometry::request_at;
using update_geometry::Step;

const std::string not_found = table(rows(' '), false) + "target device not found -5\n";
const std::string failed = fail_banner + "Status=0x0\n";
const std::string images = "TovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n";
const std::string image1_third = request_at(update_geometry::status_read, Step::image1, 2);

void sparse(const TempDir& dir, const char* name, std::size_t size) {
    dir.write(name, std::string());
    std::filesystem::resize_file(dir.file(name), size);
}

// Image 0 of 1 MiB holding the version 2.13.15.5.
void versioned(const TempDir& dir) {
    std::vector<uint8_t> bytes(0x100000, 0x5A);
    test_files::put_image0_version(bytes, {2, 13, 15, 5});
    dir.write("image0.bin", bytes);
}

struct Road {
    const char* name;
    void (*prepare)(const TempDir&); // over the default profile and images; may be null
    std::string args;                // the hub's ids come first unless "-vid" does
    std::string sim;
    std::string out; // after the banner
    int exit_status;
    std::string err = "";
    std::string violations = "";
};

using Roads = param_suite::WithCases<VirtualHub, Road>;

TEST_P(Roads, EndWithTheirOutputAndExitStatus) {
    const Road& road = GetParam();
    const bool ids = road.args.starts_with("-vid");
    const SimRun run =
        this->run(words(road.sim), words((ids ? "" : "-vid=1234 -pid=5678 ") + road.args));
    EXPECT_EQ(run.process.out, banner + road.out);
    EXPECT_EQ(run.process.exit_status, road.exit_status);
    EXPECT_EQ(run.process.err, road.err);
    EXPECT_EQ(run.violations, road.violations);
    expect_flashed(run, road.out.ends_with(pass_banner + "Status=0x1\n"));
}

const std::string self_test = "Running self tests\n\nRunning test suite: misc\n"
                              "Running test \"fw_version_gt equal\" ... passed\n"
                              "Running test \"fw_version_gt gt\" ... passed\n"
                              "Running test \"fw_version_gt lt\" ... passed\n"
                              "Running test \"fw_version_gt gt advanced\" ... passed\n"
                              "Running test \"fw_version_gt lt advanced\" ... passed\n"
                              "\nTest result: success\n";
const std::string image_version = "BinFile0 Version=2.13.15.5\n";
const std::string read_version = on_hub(chip_versions + "Status=0x1\n");
const std::string unread = "Failed to read register\n";
const std::string no_chip_version = unread + "Failed to query current FW version\n";
const std::string no_image_version = "Failed to query available FW version\n";
const std::string compared = "FW Current: 2.13.15.4\nFW Available: 2.13.15.5\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Modes, Roads, testing::Values(
    Road{"FullUpdate", nullptr, "", "", on_hub(passing_update), 0},
    Road{"ReadVersion", versioned, "-readveronly=1", "", read_version, 0},
    Road{"ReadVersionBytesInOrder", nullptr, "-readveronly=1", "--version-bytes 1,2,3,4,5,7",
         on_hub(versions({1, 2, 3, 4, 5, 7}) + "Status=0x1\n"), 0},
    Road{"ReadImage", versioned, "-readbinonly=1", "", on_hub(image_version + "Status=0x1\n"), 0},
    Road{"ReadVersionWinsOverReadImage", versioned, "-readbinonly=1 -readveronly=1", "",
         read_version, 0},
    Road{"CheckFindsAnUpdate", versioned, "-checkupdateonly=1", "",
         on_hub(chip_versions + image_version + compared + "FW update available\n"), 0},
    Road{"CheckWinsOverReadVersionAndFindsItUpToDate", versioned,
         "-checkupdateonly=1 -readveronly=1", "--version-bytes 2,13,15,0,0,5",
         on_hub(versions({2, 13, 15, 0, 0, 5}) + image_version +
                "FW Current: 2.13.15.5\nFW Available: 2.13.15.5\nFW up to date\n"), 7},
    Road{"CheckFindsAnOlderImageNoUpdate", versioned, "-checkupdateonly=1", "--version-bytes 2,13,15,0,0,6",
         on_hub(versions({2, 13, 15, 0, 0, 6}) + image_version +
                "FW Current: 2.13.15.6\nFW Available: 2.13.15.5\nFW up to date\n"), 7},
    // Status replies that are not "finished" for a reader that checks all of it: the tool reads
    // again, here at the status read of Image 1's third block.
    Road{"StatusWithABadCheckByte", nullptr, "", "--fault bad-check:" + image1_third, on_hub(passing_update), 0},
    Road{"StatusOfABusyChip", nullptr, "", "--fault state=0b:" + image1_third, on_hub(passing_update), 0},
    Road{"StatusOf7Bytes", nullptr, "", "--fault reply-bytes=7:" + image1_third, on_hub(passing_update), 0},
    Road{"StatusHalfSent", nullptr, "", "--fault short:" + image1_third, on_hub(passing_update), 0},
    Road{"SelfTestWinsAndTouchesNoUsb", nullptr, "-selftest=1 -checkupdateonly=1 -readveronly=1",
         "--fault stall:b7:1", check_ok + self_test, 0}), case_name);

INSTANTIATE_TEST_SUITE_P(Failures, Roads, testing::Values(
    Road{"CheckCannotReadTheChip", versioned, "-checkupdateonly=1", "--fault timeout:a3:1",
         on_hub("I2C-ReadCmd A3 Fail -7\n" + no_chip_version), 255},
    Road{"CheckFindsNoImageVersion", nullptr, "-checkupdateonly=1", "",
         on_hub(chip_versions + no_image_version), 254},
    Road{"CheckWithOversizedImage0", [](const TempDir& d) { sparse(d, "image0.bin", 0x200001); },
         "-checkupdateonly=1", "", on_hub(chip_versions + "  BinFile0 Size Error\n" + no_image_version), 254},
    Road{"ReadImageWithOversizedImage1", [](const TempDir& d) { sparse(d, "image1.bin", 0x200001); },
         "-readbinonly=1", "", on_hub("  BinFile1 Size Error\nStatus=0x0\n"), 1},
    Road{"ReadImageOf4GiBAnd16Bytes", [](const TempDir& d) { sparse(d, "image0.bin", 0x100000010); },
         "-readbinonly=1", "", on_hub("  BinFile0 Size Error\nStatus=0x0\n"), 1},
    // The image read applies the update's size rules: what the update refuses is no good image.
    Road{"ReadImageWith600KiBImage1", [](const TempDir& d) { sparse(d, "image1.bin", 600 * 1024); },
         "-readbinonly=1", "", on_hub("  BinFile1 Size Error\nStatus=0x0\n"), 1},
    Road{"ReadImageWith100KiBImage0", [](const TempDir& d) { sparse(d, "image0.bin", 100 * 1024); },
         "-readbinonly=1", "", on_hub("  BinFile0 Size Error\nStatus=0x0\n"), 1},
    Road{"ReadVersionAddressStalls", nullptr, "-readveronly=1", "--fault stall:b7:2",
         on_hub("I2C-WriteCmd B7 Fail -9\n" + unread + "Status=0x0\n"), 1},
    Road{"ReadVersionShortReply", nullptr, "-readveronly=1", "--fault short:a3:3",
         on_hub("Tovrela_Reg_Read 1201 short reply 1\n" + unread + "Status=0x0\n"), 1},
    Road{"CheckAddressShort", versioned, "-checkupdateonly=1", "--fault short:b7:3",
         on_hub("I2C-WriteCmd B7 Short 1 of 3\n" + no_chip_version), 255, "",
         "Transfer 5 (request B7): 1 bytes, neither a register address (3) nor a block header (9): E8\n"},
    Road{"NoMatchingHub", nullptr, "-vid=1234 -pid=5679", "", check_ok + not_found, 251},
    Road{"NoDevicesAtAll", nullptr, "", "--no-devices",
         check_ok + table("", false) + "target device not found -5\n", 251},
    Road{"HubCannotBeOpened", nullptr, "", "--unplugged",
         on_hub("liusb_open failed LIBUSB_ERROR_NO_DEVICE(-4)\n"), 252},
    // A missing image stops the load before the command line: ids 0, no self test.
    Road{"MissingImage1", [](const TempDir& d) { std::filesystem::remove(d.file("image1.bin")); },
         "-selftest=1", "",
         "    SPI-IMAGE: image0.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n" + not_found, 251,
         "tovrela-update: cannot open Image 1 'image1.bin' (TovrelaBin1 in update.ini): No such file or directory\n"},
    Road{"Image0BelowItsMinimum", [](const TempDir& d) { d.write("image0.bin", std::string(0x7FFFF, 'a')); },
         "", "", on_hub("  BinFile0 Size Error\n" + failed), 1},
    Road{"Image1AboveItsMaximum", [](const TempDir& d) { d.write("image1.bin", std::string(0x80001, 'a')); },
         "", "", on_hub("  BinFile1 Size Error\n" + failed), 1},
    Road{"EmptyImage1", [](const TempDir& d) { d.write("image1.bin", std::string()); },
         "", "", on_hub("  BinFile1 Size Error\n" + failed), 1},
    Road{"Image0AboveTheGeneralLimit", [](const TempDir& d) { sparse(d, "image0.bin", 0x200001); },
         "", "", on_hub("  BinFile Size Error\n" + failed), 1},
    Road{"Image1Of4GiBAnd16Bytes", [](const TempDir& d) { sparse(d, "image1.bin", 0x100000010); },
         "", "", on_hub("  BinFile Size Error\n" + failed), 1}), case_name);

// The step in progress finishes, then the tool says where it stopped and exits with 128 + N.
const std::string incomplete =
    "; the chip's flash is incomplete: run the update again without unplugging the hub\n" + failed;
const std::string image1_begun = reg("0010") + reg("0011") + "Tovrela_Flash_Write FW1\n";
const std::string frame_0012 = request_at(update_geometry::command_frame, Step::write_0012);

// The progress lines of Image `image` up to its `count` th block, and "\nStopped by SIGxxx after
// block N of M of Image I (offset 0x...)" for that block.
std::string after_block(const char* signal, int image, std::size_t count) {
    const std::size_t size = image == 0 ? small_image0 : small_image1;
    char text[112];
    std::snprintf(text, sizeof text, "\nStopped by %s after block %zu of %zu of Image %d (offset 0x%zX)",
                  signal, count, update_geometry::blocks(size), image, (count - 1) * update_geometry::block_size);
    return progress(size, count) + text;
}

INSTANTIATE_TEST_SUITE_P(Signals, Roads, testing::Values(
    Road{"IntDuringImage1", nullptr, "", "--signal INT:b8:5", on_hub(image1_begun +
         "\nStopped by SIGINT after block 1 of 4 of Image 1 (offset 0x0)" + incomplete), 130},
    Road{"TermBetweenTheImages", nullptr, "", "--signal TERM:" + frame_0012, on_hub(reg("0010") + reg("0011") +
         image1_written + reg("0012") + "Stopped by SIGTERM after register 5000=0012" + incomplete), 143},
    Road{"HupDuringImage0", nullptr, "", "--signal HUP:" + request_at(update_geometry::crc_frame, Step::image0, 5),
         on_hub(before_image0 + "Tovrela_Flash_Write FW0\n" + after_block("SIGHUP", 0, 6) + incomplete), 129},
    Road{"QuitBetweenRegisterReads", nullptr, "-readveronly=1", "--signal QUIT:b7:1",
         on_hub("Stopped by SIGQUIT before register 1101 was read\nStatus=0x0\n"), 131},
    Road{"DuringTheLastReadOfACheckStopsNothing", versioned, "-checkupdateonly=1",
         "--signal INT:b7:3 --version-bytes 2,13,15,0,0,5", on_hub(versions({2, 13, 15, 0, 0, 5}) +
         image_version + "FW Current: 2.13.15.5\nFW Available: 2.13.15.5\nFW up to date\n"), 7},
    Road{"DuringTheLastWriteStopsNothing", nullptr, "", "--signal TERM:" + request_at(update_geometry::command_frame, Step::write_0110), on_hub(passing_update), 0}),
    case_name);

// A signal within a second of the first is the same request (the block still finishes); one
// that comes later means it: the tool ends at once. The later one comes four pauses of 321 ms,
// in real time, after the first: the chip answers "not finished" four times.
TEST_F(VirtualHub, ASecondSignalEndsTheToolOnlyAfterASecond) {
    const std::vector<std::string> ctrl_c = {"env", "--default-signal=INT,QUIT"};
    const SimRun same =
        run({"--signal", "INT:b8:5", "--signal", "INT:b8:6"}, {"-vid=1234", "-pid=5678"}, ctrl_c);
    EXPECT_EQ(same.process.out,
              banner + on_hub(image1_begun + after_block("SIGINT", 1, 1) + incomplete));
    EXPECT_EQ(same.process.exit_status, 130);
    real_pauses = true;
    const SimRun later = run({"--busy", "4", "--signal", "INT:a3:1", "--signal", "INT:a3:5"},
                             {"-vid=1234", "-pid=5678"}, ctrl_c);
    EXPECT_EQ(later.process.out, banner + on_hub(reg("0010")));
    EXPECT_EQ(later.process.exit_status, 130);
}

// A supervisor's stop: GNU timeout sends SIGTERM to the tool and at once again to the tool's
// process group. The two are one request, at any moment: the step in progress finishes, then the
// stop line and 143. The simulator plays timeout's time running out (SIGALRM to the tool's
// parent) 100 ms of real time after a request, in the pause that follows it, where each of the
// two signals may reach the tool by itself.
TEST_F(VirtualHub, SupervisorsTwoSignalsAreOneStop) {
    using update_geometry::crc_frame;
    real_pauses = true;
    const std::pair<std::string, std::string> moments[] = {
        {request_at(update_geometry::command_frame, Step::write_0010),
         reg("0010") + "Stopped by SIGTERM after register 5000=0010"},
        {request_at(update_geometry::command_frame, Step::write_0011),
         reg("0010") + reg("0011") + "Stopped by SIGTERM after register 5000=0011"},
        {request_at(crc_frame, Step::image1, 1), image1_begun + after_block("SIGTERM", 1, 2)}};
    for (const auto& [request, text] : moments) {
        SCOPED_TRACE(request);
        const SimRun run =
            this->run({"--signal-parent", "ALRM:" + request + ":100"}, {"-vid=1234", "-pid=5678"},
                      {"timeout", "--preserve-status", "600"});
        EXPECT_EQ(run.process.out, banner + on_hub(text + incomplete));
        EXPECT_EQ(run.process.exit_status, 143);
        EXPECT_EQ(run.violations, "");
        EXPECT_EQ(run.closing.find("not confirmed"), std::string::npos) << run.closing;
        expect_flashed(run, false);
    }
}
// clang-format off

// Hostile input ends with its message and exit status, never with a crash, a hang or a flash.
INSTANTIATE_TEST_SUITE_P(Hostile, Roads, testing::Values(
    Road{"ProfileIsAFifo", [](const TempDir& d) {
             std::filesystem::remove(d.file("update.ini"));
             mkfifo(d.file("update.ini").c_str(), 0600); },
         "-readveronly=1", "", "TovrelaBin0_Error\n" + not_found, 251,
         "tovrela-update: cannot read update.ini in the working directory: not a regular file\n"},
    Road{"CommandLineOf1MiB", nullptr, "-readveronly=1" + [] {
             std::string args;
             for (int i = 0; i < 16; ++i) { args += " -hubpdsharespi=" + std::string(1 << 16, '0'); }
             return args; }(), "", read_version, 0},
    Road{"DebugLogIsAFifo", [](const TempDir& d) {
             mkfifo(d.file("debug.log").c_str(), 0600);
             d.write("update.ini", "[Config]\nLogFile=1\n" + images); },
         "-readveronly=1", "", read_version, 0,
         "tovrela-update: debug.log is not written: it is not a regular file\n"}), case_name);

// The device table and its filters: which rows are marked, the filter lines, the later match
// taken.
const std::string paths2 = "          [Multi-Hub] get_path_number = 2\n";
std::string hub_found(const std::string& device_rows) {
    return check_ok + table(device_rows) + chip_versions + "Status=0x1\n";
}
std::string hub_not_found(const std::string& device_rows) {
    return check_ok + table(device_rows, false) + "target device not found -5\n";
}
std::string mismatch(int j, int target, int path) {
    const std::string at = "[" + std::to_string(j) + "]_";
    return paths2 + "          [Dev 2] target_path" + at + std::to_string(target) + " != path" + at +
           std::to_string(path) + "\n";
}
// A hub at bus 3, port 1, and the rest of the tree after it.
std::string bus3(char mark, const std::string& line) {
    return "          [Multi-Hub] get_path_number = 1\n" + line + "(" + mark +
           ")000000 1234:5678 bcdDevice 0100 (address 02) bus 3, path 1\n"
           "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 3,\n"
           "( )000002 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
           "( )000003 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
           "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n";
}
std::string bus_line(int device, int current, const char* op, int target) {
    return "          [Dev " + std::to_string(device) + "] current_BUS_" + std::to_string(current) +
           " " + op + " target_BUS_" + std::to_string(target) + "\n";
}
const std::string rv = "-readveronly=1 ";
const std::string on_bus3 = "--bus 3 --port-path 1";

INSTANTIATE_TEST_SUITE_P(Filters, Roads, testing::Values(
    Road{"PathMatches", nullptr, rv + "-path=2.4", "", hub_found(rows('*', paths2)), 0},
    Road{"PathIsAPrefix", nullptr, rv + "-path=2", "", hub_found(rows('*', paths2)), 0},
    Road{"PathDiffersAtFirstPort", nullptr, rv + "-path=3.4", "", hub_not_found(rows(' ', mismatch(0, 3, 2))), 251},
    Road{"PathDiffersAtSecondPort", nullptr, rv + "-path=2.5", "", hub_not_found(rows(' ', mismatch(1, 5, 4))), 251},
    Road{"PathLongerThanTheHubs", nullptr, rv + "-path=2.4.1", "", hub_not_found(rows(' ', mismatch(2, 1, 0))), 251},
    Road{"BusMatches", nullptr, rv + "-bus=1", "", hub_found(rows('*', bus_line(2, 1, "==", 1))), 0},
    Road{"BusDiffers", nullptr, rv + "-bus=2", "", hub_not_found(rows(' ', bus_line(2, 1, "!=", 2))), 251},
    Road{"PathRejectsBeforeBus", nullptr, rv + "-path=2.5 -bus=1", "",
         hub_not_found(rows(' ', mismatch(1, 5, 4))), 251},
    Road{"HubOnBus3", nullptr, rv + "-bus=3 -path=1", on_bus3, hub_found(bus3('*', bus_line(0, 3, "==", 3))), 0},
    Road{"BusBelowTheHubs", nullptr, rv + "-bus=1 -path=1", on_bus3,
         hub_not_found(bus3(' ', bus_line(0, 3, "!=", 1))), 251},
    Road{"BusAboveTheHubs", nullptr, rv + "-bus=4 -path=1", on_bus3,
         hub_not_found(bus3(' ', bus_line(0, 3, "!=", 4))), 251},
    Road{"RootHubWithTheIdsHasNoPath", nullptr, rv + "-path=2.4", "--extra-device 2:0:1234:5678", hub_found(
         "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
         "          [Multi-Hub] get_path_number = 0\n"
         "( )000001 1234:5678 bcdDevice 0100 (address 01) bus 2,\n" + paths2 +
         "(*)000002 1234:5678 bcdDevice 0100 (address 03) bus 1, path 2.4\n"
         "( )000003 1111:0001 bcdDevice 0100 (address 02) bus 1, path 2\n"
         "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n"), 0},
    Road{"TwoMatchingHubsTheLaterIsTaken", nullptr, rv, "--extra-device 1:3:1234:5678", hub_found(
         "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
         "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
         "(*)000002 1234:5678 bcdDevice 0100 (address 04) bus 1, path 3\n"
         "(*)000003 1234:5678 bcdDevice 0100 (address 03) bus 1, path 2.4\n"
         "( )000004 1111:0001 bcdDevice 0100 (address 02) bus 1, path 2\n"
         "( )000005 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n"), 0,
         "Warning: 2 devices match; using the last one listed, bus 1 path 2.4; choose one with -path= and -exactpath=1\n"},
    // The later of two matching hubs is not the one with the chip: its requests stall.
    Road{"TheLaterMatchGetsTheRequests", nullptr, rv, "--extra-device 1:1:1234:5678", check_ok + table(
         "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
         "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
         "(*)000002 1234:5678 bcdDevice 0100 (address 04) bus 1, path 2.4\n"
         "( )000003 1111:0001 bcdDevice 0100 (address 03) bus 1, path 2\n"
         "(*)000004 1234:5678 bcdDevice 0100 (address 02) bus 1, path 1\n"
         "( )000005 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n") + "I2C-WriteCmd B7 Fail -9\n"
         "I2C-WriteCmd B7 Fail -9\nI2C-WriteCmd B7 Fail -9\n" + unread + "Status=0x0\n", 1,
         "Warning: 2 devices match; using the last one listed, bus 1 path 1; choose one with -path= and -exactpath=1\n"}),
    case_name);

// A hub chosen by its serial number string, from the option or the profile; the table as always.
const std::string with_serial = "--serial SN-1";
void profile_serial(const TempDir& dir) {
    dir.write("update.ini", "[Config]\nSerial=SN-2\n" + images);
}
INSTANTIATE_TEST_SUITE_P(Serials, Roads, testing::Values(
    Road{"SerialMatches", nullptr, rv + "-serial=SN-1", with_serial, hub_found(rows('*')), 0},
    Road{"SerialDiffers", nullptr, rv + "-serial=SN-2", with_serial, hub_not_found(rows(' ')), 251},
    Road{"HubWithoutSerialNeverMatches", nullptr, rv + "-serial=SN-1", "", hub_not_found(rows(' ')), 251},
    Road{"SerialFromTheProfile", profile_serial, rv, with_serial, hub_not_found(rows(' ')), 251},
    Road{"SerialOptionOverTheProfile", profile_serial, rv + "-serial=SN-1", with_serial, hub_found(rows('*')), 0}),
    case_name);
// clang-format on

// A slip on the command line or in the profile stops the tool before anything is opened: one
// line on standard error, exit status 2, no device table, not one transfer.
TEST_F(VirtualHub, RefusedInputOpensNothing) {
    const std::pair<std::string, std::vector<std::string>> cases[]{
        {"", {"-readveronly"}},
        {"", {"-selftest=0x1"}},
        {"", {"-path=2.256"}},
        {"", {"--HELP"}},
        // A 191-character image path, cut, would name another file: the entry is refused.
        {"TovrelaBin0=" + std::string(191, 'p') + "\n", {}},
        // A profile number that does not read whole, an exact path without a path, a path whose
        // 0 is followed by more ports, a repeat that disagrees.
        {"ReadVerOnly=yes\n", {}},
        {"ExactPath=1\n", {}},
        {"", {"-path=0.3", "-exactpath=1"}},
        {"", {"-readveronly=0", "-readveronly=1"}}};
    for (const auto& [config, args] : cases) {
        SCOPED_TRACE(config + (args.empty() ? "" : args[0]));
        write_files(small_image0, small_image1, config);
        const SimRun run = run_hub(args);
        EXPECT_EQ(run.process.out, config.empty() ? "" : banner);
        EXPECT_EQ(
            run.process.err.find("tovrela-update: " + (args.empty() ? "update.ini" : args[0])), 0u);
        EXPECT_EQ(std::count(run.process.err.begin(), run.process.err.end(), '\n'), 1);
        EXPECT_EQ(run.process.exit_status, 2);
        EXPECT_EQ(run.violations + run.closing, "");
        EXPECT_TRUE(run.flashed[0].empty() && run.flashed[1].empty());
    }
}

// Ports of 10 and more, the bus in decimal, and the exact selection of a hub at a path that
// another hub's path begins with. The row marked is the hub chosen; its chip answers.
TEST_F(VirtualHub, PathsAndBusesSelectTheHubAskedFor) {
    // The simulator's tree, the tool's selection, the end of the row marked, standard error.
    const std::tuple<std::string, std::string, std::string, std::string> cases[]{
        {"--port-path 2.10 --hub 1:2.1", "-path=2.10", "bus 1, path 2.10\n", ""},
        {"--bus 10 --port-path 1", "-bus=10", "bus 10, path 1\n", ""},
        {"--hub 1:2.4.1", "-path=2.4 -exactpath=1", "bus 1, path 2.4\n", ""},
        {"--hub 1:2.4.1", "-bus=1 -path=2.4", "bus 1, path 2.4\n",
         "Warning: 2 devices match; using the last one listed, bus 1 path 2.4; choose one with "
         "-path= and -exactpath=1\n"},
        {"--hub 3:7.12", "-bus=3 -path=7.12 -exactpath=1", "bus 3, path 7.12\n", ""},
        // "-path=0" made exact: the hub without ports, whatever else matches the ids.
        {"--hub 2:10 --hub 2:0 --hub 1:2.10", "-path=0 -exactpath=1", "bus 2,\n", ""},
    };
    for (const auto& [sim, args, marked, err] : cases) {
        SCOPED_TRACE(sim + " " + args);
        const SimRun run =
            this->run(words(sim), words("-vid=1234 -pid=5678 -readveronly=1 " + args));
        EXPECT_EQ(run.process.exit_status, 0);
        EXPECT_EQ(run.process.err, err);
        const std::string& out = run.process.out;
        const std::size_t row = out.find(marked); // in the row of the hub chosen
        EXPECT_TRUE(row != out.npos && out[out.rfind('\n', row) + 2] == '*') << out;
        EXPECT_TRUE(out.ends_with(chip_versions + "Status=0x1\n")) << out;
    }
    // The exact selection names why a longer path does not match.
    const SimRun run = this->run(
        {"--hub", "1:2.4.1"}, words("-vid=1234 -pid=5678 -readveronly=1 -path=2.4 -exactpath=1"));
    EXPECT_NE(run.process.out.find("] path length 3 != target length 2\n"), std::string::npos);
}

// With LogFile on, debug.log holds the lines of standard error too (here the hub chosen among
// two), and it is written only as a regular file of its own: never through a link.
TEST_F(VirtualHub, DebugLogTellsAllAndOnlyWhereMeant) {
    write_files(small_image0, small_image1, "LogFile=1\n");
    const std::string warning = "Warning: 2 devices match; using the last one listed, bus 1 path "
                                "2.4; choose one with -path= and -exactpath=1\n";
    const SimRun two = run_hub({"-readveronly=1"}, {"--extra-device", "1:3:1234:5678"});
    EXPECT_EQ(two.process.err, warning);
    const std::string log = dir.read("debug.log");
    EXPECT_NE(log.find(warning), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(chip_versions + "Status=0x1\n")) << log;

    std::filesystem::remove(dir.file("debug.log"));
    dir.write("elsewhere", std::string("kept\n"));
    ASSERT_EQ(symlink("elsewhere", dir.file("debug.log").c_str()), 0);
    const SimRun linked = run_hub({"-readveronly=1"});
    EXPECT_EQ(linked.process.err,
              "tovrela-update: debug.log is not written: it is a symbolic link\n");
    EXPECT_EQ(linked.process.exit_status, 0);
    EXPECT_EQ(dir.read("elsewhere"), "kept\n");
}

// The serial number picks one of two hubs with the same ids, the earlier one too, without a
// warning; with DbgMsg each hub's serial number shows beside the one asked for.
TEST_F(VirtualHub, SerialNumberPicksOneOfTwoHubs) {
    write_files(small_image0, small_image1, "DbgMsg=1\n");
    const SimRun run = this->run(words("--serial B --hub 1:2.3:A --hub 1:2.5"),
                                 words("-vid=1234 -pid=5678 -readveronly=1 -serial=A"));
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.process.err, "");
    const std::string& out = run.process.out;
    for (const char* line :
         {"] serial B != target serial A\n(", "] serial A == target serial A\n(*)",
          "] serial (none) != target serial A\n( )", "bus 1, path 2.3\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    EXPECT_EQ(std::count(out.begin(), out.end(), '*'), 1) << out;
}

// The event channel on a descriptor the tool inherits: its lines of a version read, and of an
// update stopped by a signal; the console as without it.
TEST_F(VirtualHub, EventChannelOnAnInheritedDescriptor) {
    const std::vector<std::string> wrapper{"sh", "-c", "exec \"$@\" 3>events", "sh"};
    const SimRun read =
        this->run({}, words("-vid=1234 -pid=5678 -readveronly=1 -eventfd=3"), wrapper);
    EXPECT_EQ(read.process.out, banner + read_version);
    EXPECT_EQ(dir.read("events"),
              R"({"v":1,"event":"chip_version","version":"2.13.15.4","bytes":[2,13,15,0,0,4]})"
              "\n"
              R"({"v":1,"event":"result","mode":"read_version","exit_status":0})"
              "\n");

    const SimRun stopped =
        this->run(words("--signal INT:b8:5"), words("-vid=1234 -pid=5678 -eventfd=3"), wrapper);
    const std::string line = "Stopped by SIGINT after block 1 of 4 of Image 1 (offset 0x0)" +
                             incomplete.substr(0, incomplete.find('\n'));
    EXPECT_EQ(stopped.process.out, banner + on_hub(image1_begun + "\n" + line + "\n" + failed));
    EXPECT_EQ(stopped.process.exit_status, 130);
    const std::string reg = R"({"v":1,"event":"register","address":"0x5000","value":"0x)";
    EXPECT_EQ(dir.read("events"),
              reg + "0010\"}\n" + reg + "0011\"}\n" +
                  R"({"v":1,"event":"image","image":1,"bytes":)" +
                  std::to_string(update_geometry::default_sizes.image1) + ",\"blocks\":4}\n" +
                  R"({"v":1,"event":"block","image":1,"block":1,"blocks":4})"
                  "\n"
                  R"({"v":1,"event":"stop","signal":"SIGINT","line":")" +
                  line + "\"}\n" +
                  R"({"v":1,"event":"result","mode":"update","exit_status":130,"failure":")" +
                  line + "\"}\n");
}

// The lock fails closed: whatever stands at the lock file's place, or a relative folder, ends
// the run before the chip is touched, with one line naming the path and the reason, exit 250.
TEST_F(VirtualHub, LockFailsClosed) {
    const std::string locks = dir.file("locks"), file = locks + "/tovrela-update-1-2.4.lock";
    const struct {
        const char* name;
        void (*make)(const std::string& file);
        std::string lock_dir;
        std::string reason;
    } cases[]{// clang-format off
        {"symlink", [](const std::string& f) { (void)symlink("x", f.c_str()); }, locks, "Too many levels of symbolic links"},
        {"fifo", [](const std::string& f) { mkfifo(f.c_str(), 0600); }, locks, "not a regular file"},
        {"folder", [](const std::string& f) { std::filesystem::create_directory(f); }, locks, "Is a directory"},
        {"missing folder", nullptr, locks + "/none", "No such file or directory"},
        {"relative folder", nullptr, "locks", "TOVRELA_LOCK_DIR is not an absolute path"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(locks);
        std::filesystem::create_directory(locks);
        if (c.make != nullptr) {
            c.make(file);
        }
        const std::string path = c.lock_dir + "/tovrela-update-1-2.4.lock";
        const SimRun run =
            this->run({}, {"-vid=1234", "-pid=5678"}, {"env", "TOVRELA_LOCK_DIR=" + c.lock_dir});
        EXPECT_EQ(run.process.out, banner + on_hub("liusb_open failed LIBUSB_ERROR_BUSY(-6)\n"));
        EXPECT_EQ(run.process.err, "tovrela-update: cannot lock " + path + ": " + c.reason +
                                       "; the hub was not touched\n");
        EXPECT_EQ(run.process.exit_status, 250);
        EXPECT_TRUE(run.flashed[0].empty() && run.flashed[1].empty());
    }
}

// Every other signal that ends a process by default and comes from outside it is held like
// SIGINT: the user signals, timers and limits in an update, and SIGPWR, SIGIO, SIGSTKFLT and the
// real-time signals (named as the shell's "kill -l" names them) in a version read. A file size
// limit on standard output, like a full disk, stops nothing; a version or image read whose answer
// is lost exits 1, an update does not.
TEST_F(VirtualHub, MoreSignalsAndLostOutput) {
    for (const auto& [name, status] : {std::pair<std::string, int>{"USR1", 138},
                                       {"USR2", 140},
                                       {"ALRM", 142},
                                       {"VTALRM", 154},
                                       {"PROF", 155},
                                       {"XCPU", 152}}) {
        const SimRun run = run_hub({}, {"--signal", name + ":b8:5"});
        EXPECT_EQ(
            run.process.out,
            banner + on_hub(image1_begun + after_block(("SIG" + name).c_str(), 1, 1) + incomplete));
        EXPECT_EQ(run.process.exit_status, status);
    }
    std::vector<std::pair<std::string, int>> in_read{
        {"SIGPWR", SIGPWR}, {"SIGIO", SIGIO}, {"SIGSTKFLT", SIGSTKFLT}};
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        const int above_min = number - SIGRTMIN, below_max = SIGRTMAX - number;
        in_read.emplace_back(
            above_min <= 15 ? "SIGRTMIN" + (above_min > 0 ? "+" + std::to_string(above_min) : "")
                            : "SIGRTMAX" + (below_max > 0 ? "-" + std::to_string(below_max) : ""),
            number);
    }
    for (const auto& [name, number] : in_read) {
        const SimRun run =
            run_hub({"-readveronly=1"}, {"--signal", std::to_string(number) + ":b7:1"});
        EXPECT_EQ(run.process.out, banner + on_hub("Stopped by " + name +
                                                   " before register 1101 was read\nStatus=0x0\n"));
        EXPECT_EQ(run.process.exit_status, 128 + number);
    }
    const SimRun limited = this->run({}, {"-vid=1234", "-pid=5678"},
                                     {"sh", "-c", "ulimit -f 1; exec \"$@\" > out.txt", "sh"});
    EXPECT_EQ(limited.process.exit_status, 0);
    expect_flashed(limited, true);
    for (const std::string mode : {"-readveronly=1", "-readbinonly=1"}) {
        const SimRun run = this->run({}, {"-vid=1234", "-pid=5678", mode},
                                     {"sh", "-c", "exec \"$@\" > /dev/full", "sh"});
        EXPECT_EQ(run.process.exit_status, 1) << mode;
    }
    const SimRun update =
        this->run({}, {"-vid=1234", "-pid=5678"}, {"sh", "-c", "exec \"$@\" > /dev/full", "sh"});
    EXPECT_EQ(update.process.exit_status, 0);
    expect_flashed(update, true);
}

} // namespace
