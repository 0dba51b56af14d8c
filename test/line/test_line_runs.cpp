// Whole lines on the virtual hub: tovrela-line under tovrela-sim --fast, every hub's tool a real
// tovrela-update. The chip's verdict judges the wire, --flash-out what each chip holds, the
// record what the line says about each hub.
#include "run_process.h"
#include "test_files.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_files::TempDir;
using Json = nlohmann::json;

const std::vector<std::string> record_fields{"run",
                                             "host",
                                             "started",
                                             "ended",
                                             "seconds",
                                             "bus",
                                             "path",
                                             "vid",
                                             "pid",
                                             "bcd_device",
                                             "serial",
                                             "job",
                                             "version_before",
                                             "image_version",
                                             "image0_sha256",
                                             "image1_sha256",
                                             "image0_bytes",
                                             "image1_bytes",
                                             "result",
                                             "exit_status",
                                             "message",
                                             "log"};

std::vector<std::string> split(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

class Line : public testing::Test {
  protected:
    void SetUp() override {
        image0 = test_files::pattern_bytes(0x80000, 0);
        image1 = test_files::pattern_bytes(3 * 4096 + 33, 1);
        dir.write("image0.bin", image0);
        dir.write("image1.bin", image1);
        dir.write("update.ini", "[Config]\nTovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n");
    }

    // The simulator's command line around tovrela-line with `line_args`.
    [[nodiscard]] std::vector<std::string> command(const std::string& sim_args,
                                                   const std::string& line_args) const {
        std::vector<std::string> argv{TOVRELA_SIM_BIN,     "--fast",         "--verdict",
                                      dir.file("verdict"), "--flash-out",    dir.file("flash"),
                                      "--trace",           dir.file("trace")};
        for (const auto& word : split(sim_args)) {
            argv.push_back(word);
        }
        argv.insert(argv.end(), {"--", TOVRELA_LINE_BIN, "--vid=1234", "--pid=5678",
                                 "--record=" + dir.file("record")});
        for (const auto& word : split(line_args)) {
            argv.push_back(word);
        }
        return argv;
    }

    test_process::Result run(const std::string& sim_args, const std::string& line_args) const {
        return test_process::run(command(sim_args, line_args), dir.path());
    }

    // The same with the line started in the background by a shell on the bed, which runs
    // `meanwhile` ($! is the line) and then waits for the line's exit status.
    test_process::Result run_beside(const std::string& sim_args, const std::string& line_args,
                                    const std::string& meanwhile) const {
        auto argv = command(sim_args, line_args);
        const auto line = std::find(argv.begin(), argv.end(), "--") + 1;
        argv.insert(line, {"/bin/sh", "-c", "\"$@\" & " + meanwhile + "\nwait $!", "sh"});
        return test_process::run(argv, dir.path());
    }

    // The record's lines by place ("1-2.4"), each with every field.
    [[nodiscard]] std::map<std::string, Json> records() const {
        std::map<std::string, Json> by_place;
        std::istringstream lines(dir.read("record"));
        for (std::string text; std::getline(lines, text);) {
            const Json line = Json::parse(text, nullptr, false);
            EXPECT_FALSE(line.is_discarded()) << text;
            for (const auto& field : record_fields) {
                EXPECT_TRUE(line.contains(field)) << field << " missing in " << text;
            }
            by_place[std::to_string(line.value("bus", 0)) + "-" + line.value("path", "")] = line;
        }
        return by_place;
    }

    // What the chip at `place` received, as a prefix of each image (both whole when `whole`).
    void expect_flashed(const std::string& place, bool whole) const {
        for (int image = 0; image < 2; ++image) {
            const std::string text =
                dir.read("flash/" + place + "/image" + std::to_string(image) + ".bin");
            const std::vector<uint8_t> got(text.begin(), text.end());
            const auto& bytes = image == 0 ? image0 : image1;
            EXPECT_TRUE(whole ? got == bytes
                              : got.size() <= bytes.size() &&
                                    std::equal(got.begin(), got.end(), bytes.begin()))
                << place << " Image " << image << ": " << got.size() << " bytes";
        }
    }

    // The verdict without the closing lines of updates that did not end.
    [[nodiscard]] std::string violations() const {
        std::istringstream lines(dir.read("verdict"));
        std::string kept;
        for (std::string text; std::getline(lines, text);) {
            if (text.find("End of the run after transfer ") == std::string::npos) {
                kept += text + "\n";
            }
        }
        return kept;
    }

    TempDir dir;
    std::vector<uint8_t> image0;
    std::vector<uint8_t> image1;
};

TEST_F(Line, FourHubsAtOnceEachGetsTheImagesAsTheyWereAtTheStart) {
    // Once the first hub has its folder (the copies are made before), the user's Image 0 is
    // spoilt: every hub gets the copy all the same.
    const auto run = run_beside("--hub 1:3 --hub 2:2 --hub 1:2.3", "",
                                "until [ -d tovrela-line-logs/*/1-2.3 ]; do sleep 0.05; done\n"
                                "printf XXXX > image0.bin");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(violations(), "");
    const auto lines = records();
    EXPECT_EQ(lines.size(), 4u);
    for (const std::string place : {"1-2.3", "1-2.4", "1-3", "2-2"}) {
        expect_flashed(place, true);
        const Json& line = lines.count(place) ? lines.at(place) : Json::object();
        EXPECT_EQ(line.value("result", ""), "passed") << place;
        EXPECT_EQ(line.value("exit_status", -1), 0) << place;
        EXPECT_EQ(line.value("version_before", ""), "2.13.15.4") << place;
        EXPECT_EQ(line.value("image0_bytes", 0u), image0.size()) << place;
        EXPECT_TRUE(line["message"].is_null()) << place;
        EXPECT_TRUE(std::filesystem::exists(dir.file(line.value("log", "none")))) << place;
    }
    // Off a terminal: plain lines, no carriage return, no escape code.
    EXPECT_EQ(run.out.find_first_of("\r\x1b"), std::string::npos);
    EXPECT_NE(run.out.find("1-3 passed in "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("queued 0, running 0, passed 4, failed 0"), std::string::npos);
}

TEST_F(Line, BusyHubIsRecordedAndTheOthersPass) {
    // Another tool's lock on the hub at 1-2.3 for the whole line.
    const auto run =
        test_process::run({"/bin/sh",
                           "-c",
                           "exec \"$@\"",
                           "sh",
                           TOVRELA_SIM_BIN,
                           "--fast",
                           "--verdict",
                           dir.file("verdict"),
                           "--flash-out",
                           dir.file("flash"),
                           "--hub",
                           "1:2.3",
                           "--",
                           "sh",
                           "-c",
                           "flock \"$TOVRELA_LOCK_DIR/tovrela-update-1-2.3.lock\" \"$@\"",
                           "sh",
                           TOVRELA_LINE_BIN,
                           "--vid=1234",
                           "--pid=5678",
                           "--record=" + dir.file("record")},
                          dir.path());
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_EQ(violations(), "");
    const auto lines = records();
    EXPECT_EQ(lines.count("1-2.3") ? lines.at("1-2.3").value("result", "") : "", "busy");
    EXPECT_EQ(lines.count("1-2.4") ? lines.at("1-2.4").value("result", "") : "", "passed");
    expect_flashed("1-2.4", true);
}

TEST_F(Line, OneFailingHubOfFourFailsAloneAndTheLineSaysWhich) {
    const auto run = this->run("--hub 1:3 --hub 2:2 --hub 1:2.3 --fault stall:b8:200@1:2.3", "");
    EXPECT_EQ(run.exit_status, 1);
    const auto lines = records();
    for (const std::string place : {"1-2.4", "1-3", "2-2"}) {
        EXPECT_EQ(lines.count(place) ? lines.at(place).value("result", "") : "", "passed");
        expect_flashed(place, true);
    }
    EXPECT_EQ(lines.count("1-2.3") ? lines.at("1-2.3").value("result", "") : "", "failed");
    EXPECT_EQ(lines.count("1-2.3") ? lines.at("1-2.3").value("message", "") : "",
              "I2C-WriteCmd B8 Fail -9");
}

TEST_F(Line, SigintStopsTheToolsAfterWholeStepsAndNamesTheIncompleteHubs) {
    // The line is signalled once the first hub's update writes its flash; one hub at a time,
    // so the second hub never starts.
    const auto run = run_beside("--hub 1:3", "--jobs=1",
                                "until grep -q -s FW1 tovrela-line-logs/*/*/*.log; do sleep 0.05; "
                                "done\nkill -INT $!");
    EXPECT_EQ(run.exit_status, 130) << run.out << run.err;
    EXPECT_EQ(violations(), "");
    const auto lines = records();
    ASSERT_EQ(lines.size(), 1u) << run.out;
    const auto& [place, line] = *lines.begin();
    const std::string other = place == "1-2.4" ? "1-3" : "1-2.4";
    expect_flashed(place, line.value("result", "") == "passed");
    EXPECT_NE(run.out.find("Not started: " + other), std::string::npos) << run.out;
    if (line.value("result", "") != "passed") {
        EXPECT_EQ(line.value("result", ""), "stopped");
        EXPECT_NE(run.out.find("Incomplete, update again: " + place), std::string::npos) << run.out;
    }
}

struct JobCase {
    const char* name;
    const char* sim;
    const char* line;
    const char* result;
    int exit_status;
    const char* version_before;
    bool flashed;
};

void PrintTo(const JobCase& c, std::ostream* out) {
    *out << c.name;
}

class Jobs : public Line, public testing::WithParamInterface<JobCase> {};

TEST_P(Jobs, AnswerForEveryHubWithoutFlashingUnlessAsked) {
    const JobCase& c = GetParam();
    // Image 0 of 1 MiB holding the version 2.14.15.4.
    image0 = test_files::pattern_bytes(0x100000, 0);
    image0[0xFFFF0] = 2;
    image0[0xFFFED] = 14;
    image0[0xFFFEE] = 15;
    image0[0xFFFF1] = 4;
    dir.write("image0.bin", image0);
    const auto run = this->run(std::string("--hub 2:2 ") + c.sim, c.line);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    EXPECT_EQ(violations(), "");
    const auto lines = records();
    EXPECT_EQ(lines.size(), 2u);
    for (const std::string place : {"1-2.4", "2-2"}) {
        const Json& line = lines.count(place) ? lines.at(place) : Json::object();
        EXPECT_EQ(line.value("result", ""), c.result) << place;
        EXPECT_EQ(line.value("version_before", ""), c.version_before) << place;
        EXPECT_EQ(line.value("image_version", ""), "2.14.15.4") << place;
        if (c.flashed) {
            expect_flashed(place, true);
        } else {
            EXPECT_EQ(dir.read("flash/" + place + "/image1.bin"), "") << place;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Line, Jobs,
    testing::Values(JobCase{"Check", "", "--check", "update_available", 0, "2.13.15.4", false},
                    JobCase{"CheckUpToDate", "--version-bytes 2,14,15,0,0,4", "--check",
                            "up_to_date", 0, "2.14.15.4", false},
                    JobCase{"List", "", "--list", "listed", 0, "2.13.15.4", false},
                    JobCase{"OnlyOutdatedSkipsUpToDate", "--version-bytes 2,14,15,0,0,4",
                            "--only-outdated", "up_to_date", 0, "2.14.15.4", false},
                    JobCase{"OnlyOutdatedUpdatesOlder", "", "--only-outdated", "passed", 0,
                            "2.13.15.4", true}),
    [](const testing::TestParamInfo<JobCase>& param) { return std::string(param.param.name); });

TEST_F(Line, ListShowsSerialNumbers) {
    const auto run = this->run("--serial MAIN01 --hub 2:2:SECOND02", "--list");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    const auto lines = records();
    EXPECT_EQ(lines.count("1-2.4") ? lines.at("1-2.4").value("serial", "") : "", "MAIN01");
    EXPECT_EQ(lines.count("2-2") ? lines.at("2-2").value("serial", "") : "", "SECOND02");
    EXPECT_NE(run.out.find("serial SECOND02"), std::string::npos) << run.out;
}

// A board swapped while it waits its turn: the board listed at 1-2.4 (B-OLD) is replaced by
// another (C-NEW) while the tool of 1-2.3 is held still (SIGSTOP at its first register write).
// The hub's tool looks for B-OLD's serial number: not found, recorded as such, and C-NEW is
// never flashed under B-OLD's name.
TEST_F(Line, BoardSwappedWhileQueuedIsNotFoundAndNotFlashed) {
    const auto run = run_beside(
        "--serial B-OLD --hub 1:2.3:A --signal STOP:b2:1@1:2.3 --control " + dir.file("control"),
        "--jobs=1",
        "until tool=$(ps -o pid=,stat= --ppid $! | awk '$2 ~ /^T/ {print $1}'); [ -n \"$tool\" ]; "
        "do sleep 0.05; done\n"
        "printf 'unplug 1:2.4\\nplug 1:2.4:C-NEW\\n' > control\n"
        "until grep -qsx C-NEW \"$UMOCKDEV_DIR/sys/bus/usb/devices/1-2.4/serial\"; do sleep 0.05; "
        "done\nkill -CONT $tool");
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    EXPECT_EQ(violations(), "");
    const auto lines = records();
    ASSERT_EQ(lines.size(), 2u) << dir.read("record");
    EXPECT_EQ(lines.at("1-2.3").value("result", ""), "passed");
    expect_flashed("1-2.3", true);
    const Json& swapped = lines.at("1-2.4");
    EXPECT_EQ(swapped.value("serial", ""), "B-OLD");
    EXPECT_EQ(swapped.value("result", ""), "not_found");
    EXPECT_EQ(swapped.value("exit_status", 0), 251);
    EXPECT_EQ(swapped.value("message", ""), "target device not found -5");
    EXPECT_EQ(dir.read("flash/1-2.4/image1.bin") + dir.read("flash/1-2.4.2/image1.bin"), "");
    EXPECT_NE(run.out.find("1-2.4 not found in "), std::string::npos) << run.out;
}

// Station mode: two boards plugged on bus 1 (the bed's own hub is on bus 2), the one at port 1
// unplugged once its record is written and plugged again: a new board, updated again.
TEST_F(Line, WatchUpdatesEachBoardOnceAndAReplugAgain) {
    const auto run = run_beside(
        "--bus 2 --port-path 3 --control " + dir.file("control") + " --plug 0:1:1 --plug 0.5:1:3",
        "--watch --count=3 --bus=1",
        "until grep -q '\"path\":\"1\"' record 2>/dev/null; do sleep 0.05; done\n"
        "printf 'unplug 1:1\\nplug 1:1\\n' > control");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(violations(), "");
    std::istringstream lines(dir.read("record"));
    std::multiset<std::string> places;
    for (std::string text; std::getline(lines, text);) {
        const Json line = Json::parse(text, nullptr, false);
        EXPECT_EQ(line.value("result", ""), "passed") << text;
        places.insert(line.value("path", ""));
    }
    EXPECT_EQ(places, (std::multiset<std::string>{"1", "1", "3"})) << dir.read("record");
}

struct Refusal {
    const char* name;
    const char* line; // after the ids and the record, unless it starts with "!"
    int exit_status;
    void (*prepare)(const TempDir&);
};

void PrintTo(const Refusal& c, std::ostream* out) {
    *out << c.name;
}

class Refusals : public Line, public testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, StopTheLineBeforeAnyTransferWithOneLine) {
    const Refusal& c = GetParam();
    if (c.prepare != nullptr) {
        c.prepare(dir);
    }
    auto argv = command("", c.line[0] == '!' ? "" : c.line);
    if (c.line[0] == '!') {
        argv.resize(argv.size() - 3); // no ids, no record
        for (const auto& word : split(c.line + 1)) {
            argv.push_back(word);
        }
    }
    const auto run = test_process::run(argv, dir.path());
    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    EXPECT_TRUE(run.err.starts_with("tovrela-line: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    const std::string trace = dir.read("trace");
    EXPECT_EQ(trace.find("\nT "), std::string::npos);
    EXPECT_FALSE(trace.starts_with("T ")) << trace;
}

void small_image0(const TempDir& dir) {
    dir.write("image0.bin", std::string(0x7FFFF, 'x'));
}
void no_image1(const TempDir& dir) {
    std::filesystem::remove(dir.file("image1.bin"));
}
void wrong_sums(const TempDir& dir) {
    dir.write("sums",
              std::string(64, 'a') + "  image0.bin\n" + std::string(64, 'b') + "  image1.bin\n");
}
void logs_is_a_file(const TempDir& dir) {
    dir.write("logs", "");
}

INSTANTIATE_TEST_SUITE_P(
    Line, Refusals,
    testing::Values(Refusal{"UnknownOption", "--frobnicate", 2, nullptr},
                    Refusal{"BadVid", "--vid=12345", 2, nullptr},
                    Refusal{"NoPid", "!--vid=1234", 2, nullptr},
                    Refusal{"BadPath", "--path=2..4", 2, nullptr},
                    Refusal{"CountWithoutWatch", "--count=2", 2, nullptr},
                    Refusal{"CheckAndList", "--check --list", 2, nullptr},
                    Refusal{"MissingTool", "--tool=no-such-tool", 2, nullptr},
                    Refusal{"RecordInMissingFolder", "--record=no/such/record", 2, nullptr},
                    Refusal{"LogsUnwritable", "--logs=logs/inside", 2, logs_is_a_file},
                    Refusal{"Image0TooSmall", "", 4, small_image0},
                    Refusal{"Image1Missing", "", 4, no_image1},
                    Refusal{"WrongSha256", "--expect-sha256=sums", 4, wrong_sums},
                    Refusal{"NoHubMatched", "--path=9", 3, nullptr}),
    [](const testing::TestParamInfo<Refusal>& param) { return std::string(param.param.name); });

// The table on a terminal: one hub, drawn in place with escape codes, colours unless NO_COLOR.
TEST_F(Line, TerminalGetsTheTableRedrawnInPlace) {
    for (const bool no_color : {false, true}) {
        auto argv = command("", "");
        int terminal = -1;
        const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (no_color) {
                setenv("NO_COLOR", "1", 1);
            }
            std::vector<char*> pointers;
            for (auto& word : argv) {
                pointers.push_back(word.data());
            }
            pointers.push_back(nullptr);
            if (chdir(dir.path().c_str()) == 0) {
                execv(pointers[0], pointers.data());
            }
            _exit(127);
        }
        std::string screen;
        char buffer[4096];
        for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
            screen.append(buffer, static_cast<std::size_t>(got));
        }
        close(terminal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
        EXPECT_NE(screen.find("PLACE"), std::string::npos) << screen;
        EXPECT_NE(screen.find("\x1b[J"), std::string::npos);
        EXPECT_NE(screen.find("1-2.4"), std::string::npos);
        EXPECT_EQ(screen.find("\x1b[32mpassed") == std::string::npos, no_color) << screen;
        EXPECT_NE(screen.find("passed 1, failed 0"), std::string::npos) << screen;
    }
}

} // namespace
