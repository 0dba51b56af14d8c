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

} // namespace
