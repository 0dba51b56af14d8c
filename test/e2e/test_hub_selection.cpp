// The device table and its filters on the virtual hub: which rows are marked, the filter lines,
// which hub is chosen and gets the requests.
#include "sim_run.h"

namespace {

using namespace sim_run;

struct TableCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> sim;
    std::string rows;
    bool found;
    std::string err = "";
};

void PrintTo(const TableCase& c, std::ostream* out) {
    *out << c.name;
}

class DeviceTable : public VirtualHub, public testing::WithParamInterface<TableCase> {};

TEST_P(DeviceTable, MarksTheMatchesAndTakesTheLastOne) {
    const TableCase& c = GetParam();
    std::vector<std::string> args = c.args;
    args.push_back("-readveronly=1");
    const SimRun run = run_hub(args, c.sim);
    EXPECT_EQ(run.process.out,
              banner + check_ok + table(c.rows, c.found) +
                  (c.found ? chip_versions + "Status=0x1\n" : "target device not found -5\n"));
    EXPECT_EQ(run.process.exit_status, c.found ? 0 : 251);
    EXPECT_EQ(run.process.err, c.err);
}

const std::string paths2 = "          [Multi-Hub] get_path_number = 2\n";
std::string mismatch(int j, int target, int path) {
    return paths2 + "          [Dev 2] target_path[" + std::to_string(j) + "]_" +
           std::to_string(target) + " != path[" + std::to_string(j) + "]_" + std::to_string(path) +
           "\n";
}
// A hub at bus 3, ports 1, and the rest of the tree after it.
std::string bus3(char mark, const std::string& line) {
    return "          [Multi-Hub] get_path_number = 1\n" + line + "(" + mark +
           ")000000 1234:5678 bcdDevice 0100 (address 02) bus 3, path 1\n"
           "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 3,\n"
           "( )000002 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
           "( )000003 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
           "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n";
}
const std::vector<std::string> hub_at_bus3{"--bus", "3", "--port-path", "1"};

INSTANTIATE_TEST_SUITE_P(
    Filters, DeviceTable,
    testing::Values(
        TableCase{"PathMatches", {"-path=2.4"}, {}, rows('*', paths2), true},
        TableCase{"PathIsAPrefix", {"-path=2"}, {}, rows('*', paths2), true},
        TableCase{"PathDiffersAtFirstPort", {"-path=3.4"}, {}, rows(' ', mismatch(0, 3, 2)), false},
        TableCase{
            "PathDiffersAtSecondPort", {"-path=2.5"}, {}, rows(' ', mismatch(1, 5, 4)), false},
        TableCase{
            "PathLongerThanTheHubs", {"-path=2.4.1"}, {}, rows(' ', mismatch(2, 1, 0)), false},
        TableCase{"BusMatches",
                  {"-bus=1"},
                  {},
                  rows('*', "          [Dev 2] current_BUS_1 == target_BUS_1\n"),
                  true},
        TableCase{"BusDiffers",
                  {"-bus=2"},
                  {},
                  rows(' ', "          [Dev 2] current_BUS_1 != target_BUS_2\n"),
                  false},
        TableCase{"PathRejectsBeforeBus",
                  {"-path=2.5", "-bus=1"},
                  {},
                  rows(' ', mismatch(1, 5, 4)),
                  false},
        TableCase{"HubOnBus3",
                  {"-bus=3", "-path=1"},
                  hub_at_bus3,
                  bus3('*', "          [Dev 0] current_BUS_3 == target_BUS_3\n"),
                  true},
        TableCase{"BusBelowTheHubs",
                  {"-bus=1", "-path=1"},
                  hub_at_bus3,
                  bus3(' ', "          [Dev 0] current_BUS_3 != target_BUS_1\n"),
                  false},
        TableCase{"BusAboveTheHubs",
                  {"-bus=4", "-path=1"},
                  hub_at_bus3,
                  bus3(' ', "          [Dev 0] current_BUS_3 != target_BUS_4\n"),
                  false},
        TableCase{"RootHubWithTheIdsHasNoPath",
                  {"-path=2.4"},
                  {"--extra-device", "2:0:1234:5678"},
                  "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
                  "          [Multi-Hub] get_path_number = 0\n"
                  "( )000001 1234:5678 bcdDevice 0100 (address 01) bus 2,\n" +
                      paths2 +
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
    [](const auto& info) { return std::string(info.param.name); });

// The later of two matching hubs is not the one with the chip: every request goes to it, and
// stalls there.
TEST_F(VirtualHub, TwoMatchingHubsTheLaterOneGetsTheRequests) {
    const SimRun run = run_hub({"-readveronly=1"}, {"--extra-device", "1:1:1234:5678"});
    const std::string device_rows =
        "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
        "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n"
        "(*)000002 1234:5678 bcdDevice 0100 (address 04) bus 1, path 2.4\n"
        "( )000003 1111:0001 bcdDevice 0100 (address 03) bus 1, path 2\n"
        "(*)000004 1234:5678 bcdDevice 0100 (address 02) bus 1, path 1\n"
        "( )000005 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n";
    EXPECT_EQ(run.process.out, banner + check_ok + table(device_rows) +
                                   "I2C-WriteCmd B7 Fail -9\nI2C-WriteCmd B7 Fail -9\n"
                                   "I2C-WriteCmd B7 Fail -9\nFailed to read register\n"
                                   "Status=0x0\n");
    EXPECT_EQ(run.process.exit_status, 1);
    EXPECT_EQ(run.transfers('X'), 3u);
    EXPECT_EQ(run.transfers('T'), 0u);
}

} // namespace
