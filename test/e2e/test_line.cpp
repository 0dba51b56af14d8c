// The virtual hub as a production line: the documented recovery (an interrupted update, then a
// full one), hubs with serial numbers, a fault on one hub of several, hubs plugged and unplugged
// while programs run, many hubs served at once.
#include "sim_run.h"

namespace {

using namespace sim_run;

// The tool stopped by a signal and run again, as its message advises: the chip takes the new
// update sequence, the verdict judges the last one, and the images are those of the last run.
TEST_F(VirtualHub, InterruptedUpdateThenAFullOneLeavesAnEmptyVerdict) {
    for (const char* signal : {"INT:b8:5", "TERM:b2:7"}) {
        const SimRun run = this->run({"--signal", signal}, {"-vid=1234", "-pid=5678"},
                                     {"sh", "-c", "\"$@\" >first.out; echo $? >first; exec \"$@\"",
                                      "sh"});
        EXPECT_NE(dir.read("first"), "0\n") << signal;
        EXPECT_EQ(run.process.out, banner + on_hub(passing_update)) << signal;
        EXPECT_EQ(run.violations + run.closing, "") << signal;
        expect_flashed(run, true);
    }
}

// Serial numbers in the hubs' string descriptors, read back by libusb as a line's program reads
// them; a hub without one has none (iSerialNumber 0), and the command line refuses a bad one.
TEST_F(VirtualHub, SerialNumbersAreReadBack) {
    const test_process::Result result = test_process::run(
        {TOVRELA_SIM_BIN, "--serial", "SN-0001", "--hub", "1:2.5:a.B_9", "--hub", "1:2.6", "--",
         TOVRELA_USB_WATCH_BIN, "serials"},
        dir.path());
    EXPECT_EQ(result.out, "2-1 1111:0002 -\n2-0 1d6b:0002 -\n1-2.6 1234:5678 -\n"
                          "1-2.5 1234:5678 a.B_9\n1-2.4 1234:5678 SN-0001\n"
                          "1-2 1111:0001 -\n1-0 1d6b:0002 -\n");
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::string longest(126, 'S');
    for (const std::string& bad : {std::string("a b"), longest + "S", std::string()}) {
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

} // namespace
