// The virtual hub as a production line: the documented recovery (an interrupted update, then a
// full one), hubs with serial numbers, a fault on one hub of several, hubs plugged and unplugged
// while programs run, many hubs served at once.
#include "sim_run.h"
#include "update_geometry.h"

#include <algorithm>

namespace {

using namespace sim_run;

// The frame of the write of 0x0012, between the two images.
const std::string frame_0012 =
    update_geometry::request_at(update_geometry::command_frame, update_geometry::Step::write_0012);

// A bed with hubs at bus 1 ports 2.4 and then 2.1, 2.2, ... (`count` in all) and `options`,
// each hub updated by a tool of its own, all started at once: the tool of PATH writes its output
// to out.PATH and its exit status to status.PATH.
test_process::Result update_at_once(const test_files::TempDir& dir, int count,
                                    const std::vector<std::string>& options,
                                    std::vector<std::string>& paths) {
    std::vector<std::string> argv{TOVRELA_SIM_BIN,     "--fast",      "--verdict",
                                  dir.file("verdict"), "--flash-out", dir.file("flash")};
    paths = {"2.4"};
    for (int port = 1; static_cast<int>(paths.size()) < count; ++port) {
        paths.push_back("2." + std::to_string(port == 4 ? ++port : port));
        argv.insert(argv.end(), {"--hub", "1:" + paths.back()});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--", "/bin/sh", "-c",
                             "tool=$0; for path in \"$@\"; do { \"$tool\" -vid=1234 -pid=5678 "
                             "-path=$path >out.$path; echo $? >status.$path; } & done; wait",
                             TOVRELA_UPDATE_BIN});
    argv.insert(argv.end(), paths.begin(), paths.end());
    return test_process::run(argv, dir.path());
}

// The tool stopped by a signal and run again, as its message advises: the chip takes the new
// update sequence, the verdict judges the last one, and the images are those of the last run.
TEST_F(VirtualHub, InterruptedUpdateThenAFullOneLeavesAnEmptyVerdict) {
    for (const std::string& signal : {std::string("INT:b8:5"), "TERM:" + frame_0012}) {
        const SimRun run =
            this->run({"--signal", signal}, {"-vid=1234", "-pid=5678"},
                      {"sh", "-c", "\"$@\" >first.out; echo $? >first; exec \"$@\"", "sh"});
        EXPECT_NE(dir.read("first"), "0\n") << signal;
        EXPECT_EQ(run.process.out, banner + on_hub(passing_update)) << signal;
        EXPECT_EQ(run.violations + run.closing, "") << signal;
        expect_flashed(run, true);
    }
}

// Serial numbers in the hubs' string descriptors, read back by libusb as a line's program reads
// them; a hub without one has none (iSerialNumber 0), and the command line refuses a bad one.
TEST_F(VirtualHub, SerialNumbersAreReadBack) {
    const test_process::Result result =
        test_process::run({TOVRELA_SIM_BIN, "--serial", "SN-0001", "--hub", "1:2.5:a.B_9", "--hub",
                           "1:2.6", "--", TOVRELA_USB_WATCH_BIN, "serials"},
                          dir.path());
    EXPECT_EQ(result.out, "2-1 1111:0002 -\n2-0 1d6b:0002 -\n1-2.6 1234:5678 -\n"
                          "1-2.5 1234:5678 a.B_9\n1-2.4 1234:5678 SN-0001\n"
                          "1-2 1111:0001 -\n1-0 1d6b:0002 -\n");
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::string longest(126, 'S');
    for (const std::string& bad : {std::string("a\\q"), longest + "S", std::string(),
                                   std::string("\\x00"), std::string("a\\x4"), longest + "\\n"}) {
        EXPECT_EQ(test_process::run({TOVRELA_SIM_BIN, "--hub", "1:2.5:" + bad, "--", "/bin/true"},
                                    dir.path())
                      .exit_status,
                  125)
            << bad;
    }
    EXPECT_EQ(
        test_process::run({TOVRELA_SIM_BIN, "--serial", longest, "--", "/bin/true"}, dir.path())
            .exit_status,
        0);
    // The tool updates a hub with a serial number as any other.
    const SimRun run = run_hub({}, {"--serial", "SN-0001"});
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.violations + run.closing, "");
}

// One hub of four with a fault, one with a stop signal and one busy, each named by @BUS:PATH:
// the others pass, and the verdict speaks of the failed and the stopped hub alone.
TEST_F(VirtualHub, FaultsOnOneHubOfFour) {
    std::vector<std::string> paths;
    const test_process::Result result =
        update_at_once(dir, 4,
                       {"--fault", "stall:b8:200@1:2.2", "--signal",
                        "TERM:" + frame_0012 + "@1:2.1", "--busy", "2@1:2.3"},
                       paths);
    ASSERT_EQ(paths, (std::vector<std::string>{"2.4", "2.1", "2.2", "2.3"}));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::pair<const char*, const char*> outcomes[] = {
        {"2.4", "0\n"}, {"2.1", "143\n"}, {"2.2", "1\n"}, {"2.3", "0\n"}};
    for (const auto& [path, status] : outcomes) {
        EXPECT_EQ(dir.read(std::string("status.") + path), status) << path;
    }
    EXPECT_TRUE(dir.read("out.2.2").ends_with(fail_banner + "Status=0x0\n"));
    const std::string verdict = dir.read("verdict");
    EXPECT_EQ(verdict.find("1-2.1 End of the run after transfer "), 0u) << verdict;
    const std::size_t second = verdict.find('\n') + 1;
    EXPECT_EQ(verdict.find("1-2.2 End of the run after transfer ", second), second) << verdict;
    EXPECT_EQ(std::count(verdict.begin(), verdict.end(), '\n'), 2) << verdict;
    for (const char* path : {"2.4", "2.3"}) {
        const std::string flashed = std::string("flash/1-") + path + "/image0.bin";
        EXPECT_EQ(dir.read(flashed), std::string(image0.begin(), image0.end())) << path;
    }
}

// Eight hubs on one bed, each updated by a tool of its own at the same time: every chip whole,
// the verdict empty.
TEST_F(VirtualHub, EightHubsAreUpdatedAtOnce) {
    std::vector<std::string> paths;
    const test_process::Result result = update_at_once(dir, 8, {}, paths);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(dir.read("verdict"), "");
    for (const std::string& path : paths) {
        EXPECT_EQ(dir.read("status." + path), "0\n") << path;
        EXPECT_TRUE(dir.read("out." + path).ends_with(pass_banner + "Status=0x1\n")) << path;
        const std::string flashed = "flash/1-" + path + "/image";
        EXPECT_EQ(dir.read(flashed + "0.bin"), std::string(image0.begin(), image0.end())) << path;
        EXPECT_EQ(dir.read(flashed + "1.bin"), std::string(image1.begin(), image1.end())) << path;
    }
}

// A libusb program that runs through it all, on one context, hears every hub come and go (the
// one --plug adds, and those the lines of --control plug and unplug, a replugged hub too) and
// its device list follows.
TEST_F(VirtualHub, HubsPluggedAndUnpluggedReachALongLivedProgram) {
    const test_process::Result result = test_process::run(
        {TOVRELA_SIM_BIN, "--plug", "0.2:1:2.6", "--control", dir.file("control"), "--", "/bin/sh",
         "-c",
         "\"$0\" events 6 >watch & watch=$!; "
         "until grep -q 'arrived 1-2.6' watch; do sleep 0.1; done; "
         "printf 'unplug 1:2.4\\nplug 1:2.5:SN7\\nplug 1:2.4\\nunplug 1:2.6\\n' >control; "
         "wait $watch; status=$?; grep event watch; tail -n1 watch; exit $status",
         TOVRELA_USB_WATCH_BIN},
        dir.path());
    EXPECT_EQ(result.out, "event arrived 1-2.4\nevent arrived 1-2.6\nevent left 1-2.4\n"
                          "event arrived 1-2.5\nevent arrived 1-2.4\nevent left 1-2.6\n"
                          "hubs: 1-2.4 1-2.5\n");
    EXPECT_EQ(result.exit_status, 0) << result.err;
}

// A hub unplugged in the middle of Image 0 (the tool held still by SIGSTOP at that point): the
// tool's next transfer fails with LIBUSB_ERROR_NO_DEVICE, the tool fails, and the trace shows the
// unplug between the last transfer the chip took and the one that failed. The hub plugged in again
// is a new board: its records are kept apart.
TEST_F(VirtualHub, UnplugMidUpdateFailsTheTool) {
    const SimRun run = this->run(
        {"--signal", "STOP:b8:800", "--control", dir.file("control"), "--trace", dir.file("trace")},
        {"-vid=1234", "-pid=5678"},
        {"sh", "-c",
         "\"$@\" >tool.out & tool=$!; "
         "until [ \"$(ps -o stat= -p $tool | cut -c1)\" = T ]; do sleep 0.05; done; "
         "node=\"$UMOCKDEV_DIR/dev/bus/usb/001\"; echo 'unplug 1:2.4' >control; "
         "while [ -e $node/003 ]; do sleep 0.05; done; echo 'plug 1:2.4' >control; "
         "until [ -e $node/004 ]; do sleep 0.05; done; kill -CONT $tool; wait $tool",
         "sh"});
    EXPECT_EQ(run.process.exit_status, 1);
    EXPECT_TRUE(dir.read("tool.out").ends_with(fail_banner + "Status=0x0\n"))
        << dir.read("tool.out");
    const std::string trace = dir.read("trace");
    const std::size_t unplugged = trace.find("\n1-2.4 H unplugged ");
    ASSERT_NE(unplugged, std::string::npos) << trace;
    const std::size_t next = trace.find("\n1-2.4 T ", unplugged);
    ASSERT_NE(next, std::string::npos);
    EXPECT_NE(trace.substr(next, trace.find('\n', next + 1) - next).find(" nodev"),
              std::string::npos);
    EXPECT_NE(trace.find("\n1-2.4.2 H plugged "), std::string::npos);
    EXPECT_EQ(dir.read("flash/1-2.4.2/image0.bin"), "");
    EXPECT_EQ(dir.read("flash/1-2.4/image1.bin"), std::string(image1.begin(), image1.end()));
    EXPECT_NE(dir.read("flash/1-2.4/image0.bin"), "");
}

} // namespace
