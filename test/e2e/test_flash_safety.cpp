// What keeps a flash whole when the run is disturbed from outside: a signal, a closed standard
// output, a second tool process on the same hub.
#include "sim_run.h"

#include <csignal>

namespace {

using namespace sim_run;

constexpr const char* incomplete =
    "; the chip's flash is incomplete: run the update again without unplugging the hub\n";

struct StopCase {
    std::string name;
    const char* signal_name; // as the simulator takes it
    int signal;
    std::string at;     // REQUEST:NTH of the request during which the signal arrives
    std::string output; // from the first register write to the stop line
    std::size_t flashed1;
    std::size_t flashed0;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

class Stop : public VirtualHub, public testing::WithParamInterface<StopCase> {};

// The chip step in progress finishes (the block's CRC and status poll, or the register write's
// poll), then the tool says where it stopped, prints the FAIL banner and exits with 128 + N.
TEST_P(Stop, FinishesTheChipStepThenStops) {
    const StopCase& c = GetParam();
    SimRun run = run_hub({}, {"--signal", c.signal_name + (":" + c.at)});
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + c.output +
                                   update_banner(false) + "Status=0x0\n");
    EXPECT_EQ(run.process.exit_status, 128 + c.signal);
    // Every block sent was whole and confirmed: the chip holds a prefix of whole blocks.
    EXPECT_EQ(run.flashed[1],
              std::vector<uint8_t>(image1.begin(),
                                   image1.begin() + static_cast<std::ptrdiff_t>(c.flashed1)));
    EXPECT_EQ(run.flashed[0],
              std::vector<uint8_t>(image0.begin(),
                                   image0.begin() + static_cast<std::ptrdiff_t>(c.flashed0)));
    const auto transfers = run.trace.transfers();
    ASSERT_FALSE(transfers.empty());
    EXPECT_TRUE(transfers.back().status_read()) << "the last step was confirmed";
    const Verdict verdict = split_verdict(run.verdict);
    EXPECT_EQ(verdict.violations, "");
    EXPECT_NE(verdict.closing, "") << "the update did not end";
}

std::string stopped(const char* signal, const std::string& where) {
    return std::string("Stopped by ") + signal + " " + where + incomplete;
}

const std::string image1_begun =
    reg_write("0010") + reg_write("0011") + "Tovrela_Flash_Write FW1\n";
const std::string image1_done =
    reg_write("0010") + reg_write("0011") + flash_written(1, small_image1) + reg_write("0012");
const std::string image0_begun = image1_done + reg_write("0020") + "Tovrela_Flash_Write FW0\n";

// Three points: a data piece of Image 1's first block, the frame of 0x0012 between the images,
// the CRC of Image 0's sixth block. 4 B9 and 7 B2 requests belong to Image 1 and before.
std::vector<StopCase> stop_cases() {
    std::vector<StopCase> cases;
    const struct {
        const char* name;
        const char* test_name;
        int number;
    } signals[]{{"INT", "Int", SIGINT},
                {"TERM", "Term", SIGTERM},
                {"HUP", "Hup", SIGHUP},
                {"QUIT", "Quit", SIGQUIT}};
    for (const auto& s : signals) {
        const std::string sig = std::string("SIG") + s.name;
        const std::string name = s.test_name;
        cases.push_back({name + "DuringImage1", s.name, s.number, "b8:5",
                         image1_begun + "\n" +
                             stopped(sig.c_str(), "after block 1 of 4 of Image 1 (offset 0x0)"),
                         4096, 0});
        cases.push_back({name + "BetweenTheImages", s.name, s.number, "b2:7",
                         image1_done + stopped(sig.c_str(), "after register 5000=0012"),
                         small_image1, 0});
        cases.push_back(
            {name + "DuringImage0", s.name, s.number, "b9:10",
             image0_begun + progress(smallest_image0, 6) + "\n" +
                 stopped(sig.c_str(), "after block 6 of 128 of Image 0 (offset 0x5000)"),
             small_image1, 6 * 4096});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Signals, Stop, testing::ValuesIn(stop_cases()),
                         [](const auto& instance) { return instance.param.name; });

// A signal during the last register write stops nothing: that write finishes the update, which
// passes and says so.
TEST_F(VirtualHub, SignalDuringTheLastWriteStopsNothing) {
    SimRun run = run_hub({}, {"--signal", "TERM:b2:137"}); // 2 + 4 + 2 + 128 frames before 0x0110
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) +
                                   passing_update(image0.size(), image1.size()));
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.verdict, "");
    EXPECT_EQ(run.flashed[0], image0);
}

// In a version read the signal is honoured between register reads.
TEST_F(VirtualHub, VersionReadStopsBetweenRegisterReads) {
    SimRun run = run_hub({"-readveronly=1"}, {"--signal", "INT:b7:1"});
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) +
                                   "Stopped by SIGINT before register 1101 was read\nStatus=0x0\n");
    EXPECT_EQ(run.process.exit_status, 130);
    EXPECT_EQ(run.trace.transfers().size(), 2u) << "one register read, then nothing";
}

// A second signal means it: the tool ends at once, without its stop line.
TEST_F(VirtualHub, SecondSignalEndsTheToolAtOnce) {
    SimRun run = run_hub({}, {"--signal", "INT:b8:5", "--signal", "INT:b8:6"});
    EXPECT_EQ(run.process.exit_status, 128 + SIGINT);
    EXPECT_EQ(run.process.out.find("Stopped by"), std::string::npos);
    EXPECT_EQ(run.process.out.find("Tovrela_FW_Update"), std::string::npos);
}

// A closed standard output (the reader of a pipe went away) is an output error, never the end of
// an update: both images reach the chip whole and "debug.log" gets every line.
TEST_F(VirtualHub, ClosedStandardOutputNeverStopsTheUpdate) {
    write_files(smallest_image0, small_image1, "LogFile=1\n");
    SimRun run =
        this->run({}, {"-vid=1234", "-pid=5678"},
                  {"sh", "-c", "{ \"$@\"; echo \"tool $?\" > status; } | head -c 300 > /dev/null",
                   "closed-output"});
    EXPECT_EQ(dir.read("status"), "tool 0\n");
    EXPECT_EQ(dir.read("debug.log"),
              check_ok + table(default_rows()) + passing_update(image0.size(), image1.size()));
    EXPECT_EQ(run.verdict, "");
    EXPECT_EQ(run.flashed[0], image0);
    EXPECT_EQ(run.flashed[1], image1);
}

// Two tool processes started at once on one hub: one gets the hub, the other finds it busy and
// touches nothing.
TEST_F(VirtualHub, SecondToolOnTheSameHubFindsItBusy) {
    SimRun run = this->run(
        {}, {"-vid=1234", "-pid=5678"},
        {"sh", "-c",
         "\"$@\" > first.out & \"$@\" > second.out; second=$?; wait $!; echo \"$? $second\"",
         "two-tools"});
    const std::string passed =
        banner + check_ok + table(default_rows()) + passing_update(image0.size(), image1.size());
    const std::string busy =
        banner + check_ok + table(default_rows()) + "liusb_open failed LIBUSB_ERROR_BUSY(-6)\n";
    ASSERT_TRUE(run.process.out == "0 250\n" || run.process.out == "250 0\n") << run.process.out;
    const bool first_passed = run.process.out == "0 250\n";
    EXPECT_EQ(dir.read(first_passed ? "first.out" : "second.out"), passed);
    EXPECT_EQ(dir.read(first_passed ? "second.out" : "first.out"), busy);
    EXPECT_EQ(run.verdict, "");
    EXPECT_EQ(run.flashed[0], image0);
    EXPECT_EQ(run.flashed[1], image1);
}

} // namespace
