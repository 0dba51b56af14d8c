// Whole lines on the virtual hub: tovrela-line under tovrela-sim (--fast unless a test needs the
// real pauses), every hub's tool a real tovrela-update. The chip's verdict judges the wire,
// --flash-out what each chip holds, the record what the line says about each hub, and the device
// tables in each hub's log which hub its tools chose.
#include "attempt_record.h"
#include "json_keys.h"
#include "line_events.h"
#include "param_suite.h"
#include "run_process.h"
#include "sim_run.h"
#include "test_files.h"
#include "update_geometry.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pty.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_files::TempDir;
using Json = nlohmann::json;
using param_suite::PrintTo;
using sim_run::words;

const std::vector<std::string> record_fields = line::record_field_names();

std::string host_name() {
    std::array<char, 256> name{};
    gethostname(name.data(), name.size() - 1);
    return name.data();
}

// An ISO 8601 UTC time ("2026-12-08T10:00:00.250Z") in seconds since 1970, or NaN.
double utc_seconds(const std::string& text) {
    std::tm fields{};
    const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    char* end = nullptr;
    const double fraction = rest != nullptr && *rest == '.' ? std::strtod(rest, &end) : 0.0;
    if (rest == nullptr || std::string(end != nullptr ? end : rest) != "Z") {
        return std::nan("");
    }
    return static_cast<double>(timegm(&fields)) + fraction;
}

// The places that the device tables in a tool's output mark as chosen, as "1-2.4".
std::set<std::string> chosen_places(const std::string& output) {
    static const std::regex row(R"(^\(\*\).* bus (\d+),(?: path ([0-9.]+))?)");
    std::set<std::string> places;
    std::istringstream lines(output);
    for (std::string text; std::getline(lines, text);) {
        if (std::smatch found; std::regex_search(text, found, row)) {
            places.insert(found[1].str() + "-" + (found[2].matched ? found[2].str() : "0"));
        }
    }
    return places;
}

// Each field of `expected` as the record line `line` holds it.
void expect_fields(const Json& line, const Json& expected) {
    for (const auto& [field, value] : expected.items()) {
        EXPECT_EQ(line.contains(field) ? line[field].dump() : "missing", value.dump())
            << field << " in " << line.dump();
    }
}

// "sums" as sha256sum writes it for both images, with Image `wrong`'s sum spoilt (0 or 1).
std::string write_sums(const TempDir& dir, int wrong = -1) {
    std::string sums =
        test_process::run({"/bin/sh", "-c", "sha256sum image0.bin image1.bin"}, dir.path()).out;
    if (wrong >= 0) {
        sums.replace(wrong == 0 ? 0 : sums.find('\n') + 1, 64, std::string(64, 'a'));
    }
    dir.write("sums", sums);
    return sums;
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
        std::vector<std::string> argv{TOVRELA_SIM_BIN,  "--verdict",       dir.file("verdict"),
                                      "--flash-out",    dir.file("flash"), "--trace",
                                      dir.file("trace")};
        if (fast) {
            argv.insert(argv.begin() + 1, "--fast");
        }
        for (const auto& word : words(sim_args)) {
            argv.push_back(word);
        }
        argv.insert(argv.end(), {"--", TOVRELA_LINE_BIN, "--vid=1234", "--pid=5678",
                                 "--record=" + dir.file("record")});
        for (const auto& word : words(line_args)) {
            argv.push_back(word);
        }
        return argv;
    }

    test_process::Result run(const std::string& sim_args, const std::string& line_args) const {
        return test_process::run(command(sim_args, line_args), dir.path());
    }

    // The same with the line run by `script`, a shell's on the bed ("$@" is the line), where
    // `ended` tells that the last background job ($!) has ended, so that no wait outlives it, and
    // `stopped` lists the process ids of its children held still (a tool stopped by SIGSTOP).
    test_process::Result run_in_shell(const std::string& sim_args, const std::string& line_args,
                                      const std::string& script) const {
        auto argv = command(sim_args, line_args);
        argv.insert(std::find(argv.begin(), argv.end(), "--") + 1,
                    {"/bin/sh", "-c",
                     "ended() { ! kill -0 $! 2>/dev/null; }\n"
                     "stopped() { ps -o pid=,stat= --ppid $! | awk '$2 ~ /^T/ {print $1}'; }\n" +
                         script,
                     "sh"});
        return test_process::run(argv, dir.path());
    }

    // The line in the background, with SIGINT and SIGQUIT given back (a shell starts background
    // jobs with them ignored), while the shell runs `meanwhile` ($! is the line); then the line's
    // exit status.
    test_process::Result run_beside(const std::string& sim_args, const std::string& line_args,
                                    const std::string& meanwhile) const {
        return run_in_shell(sim_args, line_args,
                            "env --default-signal=INT,QUIT \"$@\" & " + meanwhile + "\nwait $!");
    }

    // The record's lines in their order, each with every field, the ids and bcdDevice of the
    // bed's hubs, its times, and its log in the run's folder under its place (BUS-PATH/, or
    // BUS-PATH.N/ for the next attempt there), where every tool run chose exactly its hub: the
    // device tables mark no other place. A list keeps no log and reads no images.
    [[nodiscard]] std::vector<Json> record_lines() const {
        std::vector<Json> all;
        std::istringstream lines(dir.read("record"));
        for (std::string text; std::getline(lines, text);) {
            const Json line = Json::parse(text, nullptr, false);
            EXPECT_FALSE(line.is_discarded()) << text;
            for (const auto& field : record_fields) {
                EXPECT_TRUE(line.contains(field)) << field << " missing in " << text;
            }
            const std::string path = line.value("path", "");
            const std::string place =
                std::to_string(line.value("bus", 0)) + "-" + (path.empty() ? "0" : path);
            if (line.value("job", "") == "list") {
                expect_fields(line, {{"log", nullptr},
                                     {"image_version", nullptr},
                                     {"image0_sha256", nullptr},
                                     {"image1_sha256", nullptr},
                                     {"image0_bytes", nullptr},
                                     {"image1_bytes", nullptr}});
            } else {
                const std::string log = line.value("log", "");
                const std::filesystem::path folder = std::filesystem::path(log).parent_path();
                EXPECT_TRUE(folder.parent_path().filename() == line.value("run", "") &&
                            std::regex_match(
                                folder.filename().string(),
                                std::regex(std::regex_replace(place, std::regex(R"(\.)"), R"(\.)") +
                                           R"((\.\d+)?)")) &&
                            log.ends_with("/" + place + ".log"))
                    << text;
                // A board not found (swapped) has no row chosen at all.
                EXPECT_EQ(chosen_places(dir.read(log)), line.value("result", "") == "not_found"
                                                            ? std::set<std::string>{}
                                                            : std::set<std::string>{place})
                    << log;
            }
            expect_fields(
                line,
                {{"host", host_name()}, {"vid", "1234"}, {"pid", "5678"}, {"bcd_device", "0100"}});
            EXPECT_NEAR(line.value("seconds", -1.0),
                        utc_seconds(line.value("ended", "")) -
                            utc_seconds(line.value("started", "")),
                        0.002)
                << text;
            all.push_back(line);
        }
        return all;
    }

    // The same by place ("1-2.4"), for a line with one attempt a place.
    [[nodiscard]] std::map<std::string, Json> records() const {
        std::map<std::string, Json> by_place;
        for (const Json& line : record_lines()) {
            const std::string path = line.value("path", "");
            const std::string place =
                std::to_string(line.value("bus", 0)) + "-" + (path.empty() ? "0" : path);
            EXPECT_EQ(by_place.count(place), 0u) << place << " twice";
            by_place[place] = line;
        }
        return by_place;
    }

    // What the chip at `place` received: both images whole, or (not `whole`) what a stopped update
    // leaves, a prefix of each image in whole flash blocks, short of the whole of Image 0.
    void expect_flashed(const std::string& place, bool whole) const {
        for (int image = 0; image < 2; ++image) {
            const std::string text =
                dir.read("flash/" + place + "/image" + std::to_string(image) + ".bin");
            const std::vector<uint8_t> got(text.begin(), text.end());
            const auto& bytes = image == 0 ? image0 : image1;
            const bool all = got == bytes;
            const bool blocks = got.size() % update_geometry::block_size == 0 &&
                                got.size() <= bytes.size() &&
                                std::equal(got.begin(), got.end(), bytes.begin());
            EXPECT_TRUE(whole        ? all
                        : image == 0 ? blocks && !all
                                     : blocks || all)
                << place << " Image " << image << ": " << got.size() << " bytes";
        }
    }

    // Image 0 of 1 MiB holding the version 2.14.15.4, which a check compares with the chip's.
    void use_versioned_image0() {
        image0 = test_files::pattern_bytes(0x100000, 0);
        test_files::put_image0_version(image0, {2, 14, 15, 4});
        dir.write("image0.bin", image0);
    }

    // The line ended with `status`, and the chip's verdict finds no violation.
    void expect_ended(const test_process::Result& run, int status) const {
        EXPECT_EQ(run.exit_status, status) << run.out << run.err;
        EXPECT_EQ(violations(), "");
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
    bool fast = true;
};

TEST_F(Line, HubsAtOnceGetTheImagesAsTheyWereAtTheStartOrFailAlone) {
    // Hubs at 2.4 and behind it at 2.4.1, at 3 on both buses, and one without ports (3-0): each
    // tool must choose exactly its own, the tool given by a path relative to the line's folder. A
    // transfer to 1-2.3 stalls, the hub at 2-2 is gone in the middle of its update, and another
    // tool's lock holds 1-2.5 for the whole line. The sums are expected as sha256sum lists them.
    // Once 2-3 has its folder (the copies are made before), the user's Image 0 is spoilt: every hub
    // gets the copy.
    dir.write("update.ini",
              "[Config]\nLogFile=1\nTovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n");
    const auto sums = words(write_sums(dir));
    const std::string tool =
        std::filesystem::relative(TOVRELA_UPDATE_BIN, std::filesystem::path(dir.path())).string();
    const auto run =
        run_in_shell("--hub 1:3 --hub 2:3 --hub 1:2.4.1 --hub 1:2.3 --hub 2:2 --hub 3:0 "
                     "--hub 1:2.5 --fault stall:b8:200@1:2.3 --fault nodev:b8:100@2:2",
                     "--expect-sha256=sums --tool=" + tool,
                     "flock \"$TOVRELA_LOCK_DIR/tovrela-update-1-2.5.lock\" \"$@\" &\n"
                     "until [ -d tovrela-line-logs/*/2-3 ] || ended; do sleep 0.05; done\n"
                     "printf XXXX > image0.bin\nwait $!");
    expect_ended(run, 1);
    auto lines = records();
    EXPECT_EQ(lines.size(), 8u);
    expect_fields(lines["1-2.3"], {{"result", "failed"}, {"message", "I2C-WriteCmd B8 Fail -9"}});
    expect_fields(lines["2-2"], {{"result", "unplugged"}, {"message", "I2C-WriteCmd B8 Fail -4"}});
    expect_fields(lines["1-2.5"], {{"result", "busy"}});
    const Json passed = Json::parse(R"({"result": "passed", "job": "update", "exit_status": 0,
        "message": null, "serial": null, "version_before": "2.13.15.4", "image0_bytes": 524288,
        "image1_bytes": 12321})");
    for (const std::string place : {"1-2.4", "1-2.4.1", "1-3", "2-3", "3-0"}) {
        expect_flashed(place, true);
        expect_fields(lines[place], passed);
        expect_fields(lines[place], {{"image0_sha256", sums.at(0)}, {"image1_sha256", sums.at(2)}});
        // Its working folder holds its profile, the tool's output, the tool's debug.log and the
        // events of each step.
        std::set<std::string> files;
        const auto log = std::filesystem::path(dir.file(lines[place].value("log", "none")));
        for (const auto& entry : std::filesystem::directory_iterator(log.parent_path())) {
            files.insert(entry.path().filename());
        }
        EXPECT_EQ(files,
                  (std::set<std::string>{place + ".log", "debug.log", "update.ini", "check.events",
                                         "update.events", "version_after.events"}));
    }
    // Off a terminal: plain lines, no carriage return, no escape code.
    EXPECT_EQ(run.out.find_first_of("\r\x1b"), std::string::npos);
    for (const char* event : {"1-3 started update", "1-3 25%", "1-3 50%", "1-3 75%", "1-3 passed",
                              "queued 0, running 0, passed 5, failed 3"}) {
        EXPECT_NE(run.out.find(event), std::string::npos) << event << "\n" << run.out;
    }
}

// Real pauses, so that no update ends first: three hubs, two at a time, signalled once both
// running tools write Image 1. Each stops after its chip step (two signals that come together
// are one request), the third never starts, and the line names the hubs to update again.
TEST_F(Line, StopsReachEveryRunningToolAndNoNewHubStarts) {
    fast = false;
    // The line's options besides --jobs=2, the signals ($! is the line), the exit status of the
    // line and of each tool that stops after its step, and how that tool's log ends.
    for (const auto& [line_args, signals, status, stop_line] :
         {std::tuple{"", "kill -INT $!", 130, "Stopped by SIGINT after "},
          std::tuple{"--watch", "kill -TERM $!", 143, "Stopped by SIGTERM after "},
          // Both come at once (the line is stopped meanwhile), SIGHUP first: one request.
          std::tuple{"", "kill -STOP $!; kill -HUP $!; kill -TERM $!; kill -CONT $!", 129,
                     "Stopped by SIGHUP after "}}) {
        SCOPED_TRACE(signals);
        std::filesystem::remove_all(dir.file("tovrela-line-logs"));
        std::filesystem::remove(dir.file("record"));
        const std::string both_writing =
            "until [ $(grep -ls FW1 tovrela-line-logs/*/*/*.log | wc -l) -ge 2 ] || ended; do "
            "sleep 0.05; done\n";
        const auto run = run_beside("--hub 1:3 --hub 2:2", std::string("--jobs=2 ") + line_args,
                                    both_writing + signals);
        expect_ended(run, status);
        auto lines = records();
        EXPECT_EQ(lines.size(), 2u) << run.out;
        const std::size_t incomplete = run.out.find("Incomplete, update again: ");
        for (const std::string place : {"1-2.4", "1-3", "2-2"}) {
            if (lines.count(place) == 0) {
                EXPECT_NE(run.out.find("Not started: " + place), std::string::npos) << run.out;
                EXPECT_EQ(dir.read("flash/" + place + "/image1.bin"), "") << place;
                continue;
            }
            expect_fields(lines[place], {{"result", "stopped"}});
            expect_flashed(place, false);
            EXPECT_NE(run.out.find(place, incomplete), std::string::npos) << run.out;
            const std::string log = dir.read(lines[place].value("log", ""));
            expect_fields(lines[place], {{"exit_status", status}});
            EXPECT_NE(log.find(std::string("\n") + stop_line), std::string::npos) << log;
        }
    }
}

// The line killed (SIGKILL) in the middle of both updates, each tool held still at its 50th
// flash write (SIGSTOP from the virtual hub) so that neither ends first. Each tool, let go, goes on
// to the end of its update, and the next run with the same record (a listing) waits for them and
// writes their records, whole and passed, before any of its own.
TEST_F(Line, KilledLineLeavesItsToolsToTheEndAndTheNextRunRecordsThem) {
    const auto run =
        run_in_shell("--hub 1:3 --signal STOP:b8:50@1:2.4 --signal STOP:b8:50@1:3", "",
                     "\"$@\" &\n"
                     "until [ $(stopped | wc -l) -ge 2 ] || ended; do sleep 0.05; done\n"
                     "tools=$(stopped)\n"
                     "kill -KILL $!; wait $!; echo \"killed $?\"\n"
                     // A run stopped while it waits for the tools writes nothing.
                     "env --default-signal=INT,QUIT \"$@\" --list 2>waiting &\n"
                     "until grep -q 'waiting for its tool' waiting || ended; do sleep 0.05; done\n"
                     "kill -INT $!; wait $!; echo \"interrupted $?\"\n"
                     "kill -CONT $tools\n\"$@\" --list");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("killed 137\ninterrupted 130\n"), std::string::npos) << run.out;
    EXPECT_NE(dir.read("waiting").find("tovrela-line: SIGINT: no hub started; the records still "
                                       "open are completed by the next run\n"),
              std::string::npos)
        << dir.read("waiting");
    EXPECT_EQ(violations(), "");
    const auto lines = record_lines(); // every line whole, with its own log

    ASSERT_EQ(lines.size(), 4u) << dir.read("record");
    const std::string first_run = lines[0].value("run", "");
    std::set<std::string> updated;
    for (std::size_t n = 0; n < 2; ++n) {
        expect_fields(lines[n], {{"run", first_run},
                                 {"job", "update"},
                                 {"result", "passed"},
                                 {"exit_status", 0},
                                 {"message", nullptr},
                                 {"version_before", "2.13.15.4"}});
        updated.insert(std::to_string(lines[n].value("bus", 0)) + "-" + lines[n].value("path", ""));
        EXPECT_NE(run.err.find("tovrela-line: completing the record of " + *updated.rbegin() +
                               " from the run " + first_run),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(updated, (std::set<std::string>{"1-2.4", "1-3"}));
    for (const std::string place : {"1-2.4", "1-3"}) {
        expect_flashed(place, true);
    }
    for (std::size_t n = 2; n < 4; ++n) {
        EXPECT_NE(lines[n].value("run", ""), first_run);
        expect_fields(lines[n], {{"job", "list"}, {"result", "listed"}});
    }
    // Nothing is left open: a third run completes nothing.
    const auto again = test_process::run(command("", "--list"), dir.path());
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(again.err.find("completing"), std::string::npos) << again.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("record.open")));
}

// The line killed while its update check runs (by the virtual hub, at the check's first command):
// the check goes on to its end, and the next run records the update as stopped before it began;
// the chip is untouched.
TEST_F(Line, KilledLineDuringTheCheckIsRecordedStoppedAndTheChipUntouched) {
    const auto run = run_in_shell("--signal-parent KILL:a3:1@1:2.4", "",
                                  "\"$@\"; echo \"killed $?\"\n\"$@\" --list");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("killed 137\n"), std::string::npos) << run.out;
    EXPECT_EQ(violations(), "");
    const auto lines = record_lines();
    ASSERT_EQ(lines.size(), 2u) << dir.read("record");
    // The check ends with 254 (these images hold no version), which the line would have
    // followed with the update.
    expect_fields(lines[0], {{"job", "update"},
                             {"result", "stopped"},
                             {"version_before", "2.13.15.4"},
                             {"exit_status", 254},
                             {"message", "the line ended before this hub's update"}});
    expect_fields(lines[1], {{"job", "list"}, {"result", "listed"}});
    EXPECT_EQ(dir.read("flash/1-2.4/image1.bin"), "");
    EXPECT_EQ(dir.read("flash/1-2.4/image0.bin"), "");
}

struct JobCase {
    const char* name;
    const char* sim;
    const char* line;
    const char* result;
    const char* version_before;
    bool flashed;
    std::vector<std::string> said; // in the line's output
};

using Jobs = param_suite::WithCases<Line, JobCase>;

TEST_P(Jobs, AnswerForEveryHubWithoutFlashingUnlessAsked) {
    const JobCase& c = GetParam();
    use_versioned_image0();
    const auto run = this->run(std::string("--hub 2:2 ") + c.sim, c.line);
    expect_ended(run, 0);
    auto lines = records();
    EXPECT_EQ(lines.size(), 2u);
    const std::string job = c.line == std::string("--only-outdated") ? "update" : c.line + 2;
    for (const std::string place : {"1-2.4", "2-2"}) {
        expect_fields(lines[place], {{"result", c.result},
                                     {"job", job},
                                     {"version_before", c.version_before},
                                     {"slot", nullptr}});
        if (job != "list") {
            expect_fields(lines[place], {{"image_version", "2.14.15.4"}});
        }
        if (c.flashed) {
            expect_flashed(place, true);
        } else {
            EXPECT_EQ(dir.read("flash/" + place + "/image1.bin"), "") << place;
        }
    }
    for (const std::string& text : c.said) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Line, Jobs,
    testing::Values(JobCase{"Check",
                            "",
                            "--check",
                            "update_available",
                            "2.13.15.4",
                            false,
                            {"checked 2, failed 0"}},
                    JobCase{"CheckUpToDate",
                            "--version-bytes 2,14,15,0,0,4",
                            "--check",
                            "up_to_date",
                            "2.14.15.4",
                            false,
                            {"checked 2, failed 0"}},
                    JobCase{"List", "", "--list", "listed", "2.13.15.4", false, {"listed 2"}},
                    // A chip newer than Image 0 is said so.
                    JobCase{"OnlyOutdatedSkipsUpToDate",
                            "--version-bytes 2,15,0,0,0,0",
                            "--only-outdated",
                            "up_to_date",
                            "2.15.0.0",
                            false,
                            {"2-2 skipped, up to date in ",
                             ": chip 2.15.0.0, Image 0 2.14.15.4: the chip is newer than Image 0",
                             "passed 0, skipped 2, failed 0"}},
                    JobCase{"OnlyOutdatedUpdatesOlder",
                            "",
                            "--only-outdated",
                            "passed",
                            "2.13.15.4",
                            true,
                            {"passed 2, skipped 0, failed 0"}}),
    param_suite::case_name);

// --path takes a prefix port by port (2.4 takes 2.4.1, not 2.40), on every bus; each hub listed
// with its address, bcdDevice, serial number and chip version.
// Serial numbers are recorded exactly; shown, a device's string has its control characters
// escaped, so that it can neither write a line of its own nor clear the screen.
TEST_F(Line, ListSelectsByPathAndShowsSerialNumbers) {
    const auto run = this->run("--serial MAIN01\\n1-2.9\\x20passed\\x1b[2J --hub 2:2.4:SECOND02 "
                               "--hub 1:2.4.1 --hub 1:2.40",
                               "--list --path=2.4");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    auto lines = records();
    EXPECT_EQ(lines.size(), 3u);
    expect_fields(lines["1-2.4"], {{"serial", "MAIN01\n1-2.9 passed\x1b[2J"}});
    EXPECT_NE(run.out.find("serial MAIN01\\n1-2.9 passed\\x1b[2J"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find_first_of("\x1b\r"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\n1-2.9"), std::string::npos) << run.out;
    expect_fields(lines["1-2.4.1"], {{"serial", nullptr}});
    expect_fields(lines["2-2.4"], {{"serial", "SECOND02"}});
    EXPECT_NE(run.out.find("2-2.4 bus 2 path 2.4 address 4 bcdDevice 0100 serial SECOND02 chip "
                           "2.13.15.4 listed\n"),
              std::string::npos)
        << run.out;
}

// The events of a file, by place, each line JSON with every key of its kind, of version 1, with a
// time and the first attempt.
std::map<std::string, std::vector<Json>> events_by_place(const std::string& text) {
    std::map<std::string, std::vector<Json>> by_place;
    std::istringstream lines(text);
    for (std::string entry; std::getline(lines, entry);) {
        const Json event = Json::parse(entry, nullptr, false);
        EXPECT_TRUE(event.is_object()) << entry;
        if (!event.is_object()) {
            continue;
        }
        EXPECT_EQ(json_keys::in_order(nlohmann::ordered_json::parse(entry, nullptr, false)),
                  line::event_keys(event.value("event", "")))
            << entry;
        expect_fields(event, {{"v", 1}, {"attempt", 1}});
        EXPECT_FALSE(std::isnan(utc_seconds(event.value("time", "")))) << entry;
        by_place[event.value("place", "")].push_back(event);
    }
    return by_place;
}

// Each board's events: started, the progress of Image 1 and then of Image 0, each rising, and
// ended with the record's result, a failed update too.
TEST_F(Line, EventsFollowEachBoardFromStartToEnd) {
    const auto run = this->run("--hub 1:3 --fault stall:b8:200@1:3", "--events=events");
    EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
    auto lines = records();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines["1-3"].value("result", ""), "failed");
    auto events = events_by_place(dir.read("events"));
    EXPECT_EQ(events.size(), 2u) << dir.read("events");
    for (const std::string place : {"1-2.4", "1-3"}) {
        SCOPED_TRACE(place);
        const auto& told = events[place];
        ASSERT_GE(told.size(), 2u);
        expect_fields(told.front(), {{"event", "started"}, {"serial", nullptr}, {"slot", nullptr}});
        expect_fields(told.back(), {{"event", "ended"},
                                    {"result", lines[place]["result"]},
                                    {"exit_status", lines[place]["exit_status"]},
                                    {"message", lines[place]["message"]}});
        std::vector<std::pair<int, int>> progress; // image, percent
        for (std::size_t i = 1; i + 1 < told.size(); ++i) {
            EXPECT_EQ(told[i].value("event", ""), "progress") << told[i].dump();
            const std::pair next{told[i].value("image", -1), told[i].value("percent", -1)};
            // Image 1 first, then Image 0; within an image, each percent higher than the last.
            const bool rising =
                progress.empty() || next.first < progress.back().first ||
                (next.first == progress.back().first && next.second > progress.back().second);
            EXPECT_TRUE(rising && next.first >= 0 && next.first <= 1 && next.second >= 0 &&
                        next.second <= 100)
                << told[i].dump();
            progress.push_back(next);
        }
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front().first, 1);
        if (lines[place].value("result", "") == "passed") {
            EXPECT_EQ(progress.back(), std::pair(0, 100));
            EXPECT_EQ(std::count(progress.begin(), progress.end(), std::pair(1, 100)), 1);
        }
    }
}

// With --events=-, standard output holds the events alone; the plain lines go to standard error.
// A check has no progress.
TEST_F(Line, EventsOnStandardOutputAlone) {
    use_versioned_image0();
    const auto run = this->run("--hub 2:2 --serial S\\x1b1", "--check --events=-");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    const auto events = events_by_place(run.out);
    EXPECT_EQ(events.size(), 2u) << run.out;
    for (const auto& [place, told] : events) {
        ASSERT_EQ(told.size(), 2u) << place;
        expect_fields(told[0], {{"event", "started"}});
        expect_fields(told[1], {{"event", "ended"}, {"result", "update_available"}});
    }
    ASSERT_EQ(events.count("1-2.4"), 1u);
    expect_fields(events.at("1-2.4").front(), {{"serial", "S\\x1b1"}});
    for (const char* line : {"1-2.4 (serial S\\x1b1) started check\n", "2-2 update available in ",
                             "queued 0, running 0, checked 2, failed 0\n"}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
    }
}

// A fixture's slots: two of three hubs named, with --only-slots the third is not handled; the
// names in the plain lines, the events and the record. Without --only-slots every hub is handled
// and the one without a slot has none.
TEST_F(Line, SlotsNameTheFixturesPlaces) {
    use_versioned_image0();
    dir.write("slots", "# the fixture\n1-2.4 A1\n\n  02-3\tB2\r\n9-9 Z9\n");
    const auto run =
        this->run("--hub 2:3 --hub 1:3", "--check --slots=slots --only-slots --events=events");
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    auto lines = records();
    EXPECT_EQ(lines.size(), 2u) << dir.read("record");
    expect_fields(lines["1-2.4"], {{"slot", "A1"}, {"result", "update_available"}});
    expect_fields(lines["2-3"], {{"slot", "B2"}, {"result", "update_available"}});
    for (const char* line : {"1-2.4 [A1] started check\n", "2-3 [B2] started check\n",
                             "1-2.4 [A1] update available in ", "2-3 [B2] update available in "}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    }
    EXPECT_EQ(run.out.find("1-3"), std::string::npos) << run.out;
    auto events = events_by_place(dir.read("events"));
    EXPECT_EQ(events.size(), 2u) << dir.read("events");
    for (const auto& [place, slot] : {std::pair{"1-2.4", "A1"}, std::pair{"2-3", "B2"}}) {
        EXPECT_EQ(events[place].size(), 2u) << place;
        for (const Json& event : events[place]) {
            expect_fields(event, {{"slot", slot}});
        }
    }

    std::filesystem::remove(dir.file("record"));
    const auto all = this->run("--hub 2:3 --hub 1:3", "--list --slots=slots");
    EXPECT_EQ(all.exit_status, 0) << all.out << all.err;
    lines = records();
    EXPECT_EQ(lines.size(), 3u) << dir.read("record");
    expect_fields(lines["1-3"], {{"slot", nullptr}, {"result", "listed"}});
    expect_fields(lines["2-3"], {{"slot", "B2"}, {"result", "listed"}});
    for (const char* line : {"1-2.4 [A1] bus 1 path 2.4 ", "1-3 bus 1 path 3 "}) {
        EXPECT_NE(all.out.find(line), std::string::npos) << line << "\n" << all.out;
    }
}

// The list needs neither "update.ini" nor the images and makes no run folder: its tools work in a
// private temporary folder, removed at the end.
TEST_F(Line, ListNeedsNoProfileNorImagesAndLeavesNoFolder) {
    for (const char* name : {"update.ini", "image0.bin", "image1.bin"}) {
        std::filesystem::remove(dir.file(name));
    }
    std::filesystem::create_directory(dir.file("tmp"));
    const auto run = test_process::run(command("--hub 2:2", "--list"), dir.path(),
                                       {"TMPDIR=" + dir.file("tmp")});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    auto lines = records();
    EXPECT_EQ(lines.size(), 2u);
    for (const std::string place : {"1-2.4", "2-2"}) {
        expect_fields(lines[place], {{"result", "listed"}, {"version_before", "2.13.15.4"}});
    }
    EXPECT_NE(run.out.find("2-2 bus 2 path 2 address "), std::string::npos) << run.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("tovrela-line-logs")));
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("tmp"))) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("tovrela-line")) << entry.path();
    }
}

// A record on a full filesystem (a tmpfs of 4 KiB, in a mount namespace of its own): the line that
// does not fit is undone, said at once (once on standard error, also when the plain lines go
// there), kept and given on standard error at the end, exit 1.
TEST_F(Line, RecordLineThatDoesNotFitIsUndoneAndKept) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    std::filesystem::create_directory(dir.file("small"));
    for (const char* events : {"", " --events=-"}) {
        auto argv = command("", std::string("--check --record=small/record") + events);
        argv.insert(argv.begin(),
                    {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                     "mount -t tmpfs -o size=4k tmpfs small && printf '%3799s\\n' x > "
                     "small/record && \"$@\"; status=$?; cp small/record kept; exit $status",
                     "sh"});
        const auto run = test_process::run(argv, dir.path());
        EXPECT_EQ(run.exit_status, 1) << events << run.out << run.err;
        EXPECT_EQ(dir.read("kept"), std::string(3799, ' ').replace(3798, 1, "x") + "\n");
        // With the plain lines on standard output, standard error has it with the program's name.
        const std::string said =
            "the record of 1-2.4 could not be written; it is kept and tried again\n";
        const std::size_t first = run.err.find(said);
        EXPECT_NE(first, std::string::npos) << events << run.err;
        if (*events == '\0') {
            EXPECT_NE(run.err.find("tovrela-line: " + said), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.err.find(said, first + 1), std::string::npos) << events << run.err;
        EXPECT_NE(run.err.find("tovrela-line: could not record these lines:\n{\"run\":"),
                  std::string::npos)
            << events << run.err;
    }
}

// A stop that comes while the line reads its inputs (here the sums, from a FIFO) starts no hub;
// SIGQUIT is a stop like SIGINT.
TEST_F(Line, StopBeforeAnyHubStartsNone) {
    ASSERT_EQ(mkfifo(dir.file("sums").c_str(), 0600), 0);
    const auto run = run_beside("--hub 1:3", "--expect-sha256=sums",
                                "sleep 0.5\nkill -QUIT $!\nsha256sum image0.bin image1.bin > sums");
    EXPECT_EQ(run.exit_status, 131) << run.out << run.err;
    EXPECT_NE(run.out.find("SIGQUIT passed on to 0 running tools; no new hub starts"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(dir.read("record"), "");
    const std::string trace = dir.read("trace");
    EXPECT_TRUE(trace.find("\nT ") == std::string::npos && !trace.starts_with("T ")) << trace;
}

// A board swapped while it waits its turn: the board listed at 1-2.4 (B-OLD) is replaced by
// another (C-NEW) while the tool of 1-2.3 is held still (SIGSTOP at its first register write).
// The hub's tool looks for B-OLD's serial number: not found, recorded as such, and C-NEW is
// never flashed under B-OLD's name.
TEST_F(Line, BoardSwappedWhileQueuedIsNotFoundAndNotFlashed) {
    const auto run = run_beside(
        "--serial B-OLD --hub 1:2.3:A --signal STOP:b2:1@1:2.3 --control " + dir.file("control"),
        "--jobs=1",
        "until tool=$(stopped); [ -n \"$tool\" ]; do sleep 0.05; done\n"
        "printf 'unplug 1:2.4\\nplug 1:2.4:C-NEW\\n' > control\n"
        "until grep -qsx C-NEW \"$UMOCKDEV_DIR/sys/bus/usb/devices/1-2.4/serial\"; do sleep 0.05; "
        "done\nkill -CONT $tool");
    expect_ended(run, 1);
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

// Station mode: no hub at the start, then two boards plugged on bus 1 (the bed's own hub is on
// bus 2), the one at port 1 unplugged once its record is written and plugged again: a new board,
// updated again.
TEST_F(Line, WatchUpdatesEachBoardOnceAndAReplugAgain) {
    const auto run = run_beside(
        "--bus 2 --port-path 3 --control " + dir.file("control") + " --plug 1:1:1 --plug 1.5:1:3",
        "--watch --count=3 --bus=1",
        "until grep -q '\"path\":\"1\"' record 2>/dev/null || ended; do sleep 0.05; done\n"
        "printf 'unplug 1:1\\nplug 1:1\\n' > control");
    expect_ended(run, 0);
    std::istringstream lines(dir.read("record"));
    std::multiset<std::string> folders; // each board's: the one plugged again has a new one
    for (std::string text; std::getline(lines, text);) {
        const Json line = Json::parse(text, nullptr, false);
        EXPECT_EQ(line.value("result", ""), "passed") << text;
        folders.insert(std::filesystem::path(line.value("log", "")).parent_path().filename());
    }
    EXPECT_EQ(folders, (std::multiset<std::string>{"1-1", "1-1.2", "1-3"})) << dir.read("record");
}

// Boards counted as boards. A (1-2.4) passes; B (1-2.3) is pulled in the middle of its update
// (its tool held still by SIGSTOP meanwhile) and plugged in again: the same board by its serial
// number, updated again on its second attempt; C is plugged in later. --count=3 ends after the
// three, and no board is named incomplete. Then a check of three hubs two at a time ends after
// two and names the third, plugged in but not handled.
TEST_F(Line, BoardsCountedAsBoardsOnceEachWhateverTheirBounces) {
    const auto run = run_beside(
        "--serial A --hub 1:2.3:B --plug 2:1:3:C --signal STOP:b8:5@1:2.3 --control " +
            dir.file("control"),
        "--watch --count=3",
        "until tool=$(stopped); [ -n \"$tool\" ]; do sleep 0.05; done\n"
        "hub=\"$UMOCKDEV_DIR/sys/bus/usb/devices/1-2.3\"\n"
        "echo 'unplug 1:2.3' > control; while [ -e \"$hub\" ]; do sleep 0.05; done\n"
        "echo 'plug 1:2.3:B' > control; until grep -qsx B \"$hub/serial\"; do sleep 0.05; done\n"
        // The board's next chip holds its tool at the same point: let every tool go on.
        "until ended; do for t in $(stopped); do kill -CONT $t; done; sleep 0.05; done");
    expect_ended(run, 0);
    std::vector<std::string> seen;
    for (const Json& line : record_lines()) {
        seen.push_back(line.value("serial", "") + std::to_string(line.value("attempt", 0)) + " " +
                       line.value("result", ""));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen,
              (std::vector<std::string>{"A1 passed", "B1 unplugged", "B2 passed", "C1 passed"}));
    EXPECT_NE(run.out.find("queued 0, running 0, passed 3, failed 0"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Incomplete"), std::string::npos) << run.out;
    expect_flashed("1-2.4", true);
    expect_flashed("1-3", true);

    std::filesystem::remove(dir.file("record"));
    dir.write("image0.bin", test_files::pattern_bytes(0x100000, 0)); // long enough for a version
    const auto check = this->run("--hub 1:2.3 --hub 1:3", "--watch --check --count=2 --jobs=1");
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    const auto lines = records();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string place : {"1-2.3", "1-2.4", "1-3"}) {
        EXPECT_EQ(lines.count(place) == 0,
                  check.out.find("Not started: " + place) != std::string::npos)
            << check.out;
    }
    EXPECT_NE(check.out.find("checked 2, failed 0"), std::string::npos) << check.out;
}

// --retries: a board whose update failed once (a register write's command frame refused) is
// updated again at once, each attempt on its own record line, and passes. Neither a busy board
// nor one whose chip was left in the middle of a command (a stall in the middle of a flash block)
// is tried again: the chip would take the next tool's commands in the middle of that block. Each
// passed update ends with the chip's version read; when that read fails, the update still passes,
// with no version after and a warning.
TEST_F(Line, RetriesAndTheVersionAfterTheUpdate) {
    const auto run =
        run_in_shell("--hub 1:2.3 --hub 1:2.5 --hub 1:2.6 "
                     "--fault stall:b2:3@1:2.3 --fault stall:b8:200@1:2.6",
                     "--retries=2", "flock \"$TOVRELA_LOCK_DIR/tovrela-update-1-2.5.lock\" \"$@\"");
    expect_ended(run, 1);
    std::vector<std::string> seen;
    for (const Json& line : record_lines()) {
        seen.push_back(line.value("path", "") + " " + std::to_string(line.value("attempt", 0)) +
                       " " + line.value("result", "") + " " + line["version_after"].dump());
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"2.3 1 failed null", "2.3 2 passed \"2.13.15.4\"",
                                              "2.4 1 passed \"2.13.15.4\"", "2.5 1 busy null",
                                              "2.6 1 failed null"}));
    EXPECT_NE(run.out.find("1-2.3 updated again: attempt 2 of 3"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1-2.6 not updated again: its chip was left in the middle of a "
                           "command"),
              std::string::npos)
        << run.out;
    expect_flashed("1-2.3", true);
    expect_flashed("1-2.4", true);

    // The version read after the update is the first status request of the last three reads of
    // the version: count them on a run, then stall that one.
    int requests = 0;
    std::istringstream trace(dir.read("trace"));
    for (std::string text; std::getline(trace, text);) {
        requests += text.starts_with("1-2.4 T ") && text.find(" out b7 ") != std::string::npos;
    }
    std::filesystem::remove(dir.file("record"));
    const auto unread = this->run("--fault stall:b7:" + std::to_string(requests - 2), "");
    EXPECT_EQ(unread.exit_status, 0) << unread.out << unread.err;
    const auto lines = records();
    expect_fields(lines.at("1-2.4"),
                  {{"result", "passed"}, {"exit_status", 0}, {"version_after", nullptr}});
    EXPECT_NE(unread.out.find("1-2.4 passed in "), std::string::npos) << unread.out;
    EXPECT_NE(unread.out.find("warning: the chip's version could not be read after the update"),
              std::string::npos)
        << unread.out;
}

struct Refusal {
    const char* name;
    const char* line; // after the ids and the record, unless it starts with "!"
    int exit_status;
    void (*prepare)(const TempDir&); // before the run; may be null
};

using Refusals = param_suite::WithCases<Line, Refusal>;

TEST_P(Refusals, StopTheLineBeforeAnyTransferWithOneLine) {
    const Refusal& c = GetParam();
    auto argv = command("", c.line[0] == '!' ? "" : c.line);
    if (c.line[0] == '!') {
        argv.resize(argv.size() - 3); // no ids, no record
        for (const auto& word : words(c.line + 1)) {
            argv.push_back(word);
        }
    }
    const auto run = test_process::run(argv, dir.path());
    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    EXPECT_TRUE(run.err.starts_with("tovrela-line: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    const std::string trace = "\n" + dir.read("trace");
    EXPECT_EQ(trace.find("\nT "), std::string::npos) << trace;
}

INSTANTIATE_TEST_SUITE_P(
    Line, Refusals,
    testing::Values(
        Refusal{"UnknownOption", "--frobnicate", 2, nullptr},
        Refusal{"BadVid", "--vid=12345", 2, nullptr}, Refusal{"NoPid", "!--vid=1234", 2, nullptr},
        Refusal{"BadPath", "--path=2..4", 2, nullptr},
        Refusal{"CountWithoutWatch", "--count=2", 2, nullptr},
        Refusal{"RetriesOfACheck", "--check --retries=1", 2, nullptr},
        Refusal{"RetriesOverAHundred", "--retries=101", 2, nullptr},
        Refusal{"CheckAndList", "--check --list", 2, nullptr},
        Refusal{"MissingTool", "--tool=no-such-tool", 2, nullptr},
        Refusal{"RecordInMissingFolder", "--record=no/such/record", 2, nullptr},
        Refusal{"RecordIsADevice", "--record=/dev/full", 2, nullptr},
        Refusal{"LogsUnwritable", "--logs=logs/inside", 2,
                [](const TempDir& dir) { dir.write("logs", ""); }},
        Refusal{"Image0TooSmall", "", 4,
                [](const TempDir& dir) { dir.write("image0.bin", std::string(0x7FFFF, 'x')); }},
        Refusal{"Image1Missing", "", 4,
                [](const TempDir& dir) { std::filesystem::remove(dir.file("image1.bin")); }},
        Refusal{"WrongSha256OfImage0", "--expect-sha256=sums", 4,
                [](const TempDir& dir) { write_sums(dir, 0); }},
        Refusal{"WrongSha256OfImage1", "--expect-sha256=sums", 4,
                [](const TempDir& dir) { write_sums(dir, 1); }},
        Refusal{"NoHubMatched", "--path=9", 3, nullptr},
        Refusal{"OnlySlotsWithoutSlots", "--only-slots", 2, nullptr},
        Refusal{"SlotsMissing", "--slots=no-such-slots", 2, nullptr},
        Refusal{"SlotsLineMalformed", "--slots=slots", 2,
                [](const TempDir& dir) { dir.write("slots", "1-2.4 A1\n1-2.4\n"); }},
        Refusal{"SlotsPlaceTwice", "--slots=slots", 2,
                [](const TempDir& dir) { dir.write("slots", "1-2.4 A1\n1-2.4 A2\n"); }},
        Refusal{"OnlySlotsMatchNone", "--slots=slots --only-slots", 3,
                [](const TempDir& dir) { dir.write("slots", "1-2.5 A1\n"); }},
        Refusal{"EventsIsAFolder", "--events=.", 2, nullptr},
        Refusal{"EventsIsADevice", "--events=/dev/null", 2, nullptr}),
    param_suite::case_name);

// The table on a terminal: one hub, drawn in place with escape codes, colours unless NO_COLOR,
// and a column of slot names when the hubs have them. Each run appends its line to the record.
TEST_F(Line, TerminalGetsTheTableRedrawnInPlace) {
    dir.write("slots", "1-2.4 A1\n");
    // Each job's summary counts what it did; a board that did not do its job shows why, and one
    // pulled in the middle of its update is not to be shipped.
    for (const auto& [no_color, sim, line, result, summary, exit_status] :
         {std::tuple{false, "", "", "\x1b[32mpassed", "passed 1, failed 0", 0},
          std::tuple{true, "", "--list --slots=slots", "listed", "listed 1, failed 0", 0},
          std::tuple{true, "--fault nodev:b8:100", "",
                     "unplugged (do not ship): I2C-WriteCmd B8 Fail -4", "passed 0, failed 1",
                     1}}) {
        auto argv = command(sim, line);
        int terminal = -1;
        const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (no_color) {
                setenv("NO_COLOR", "1", 1);
            }
            std::vector<char*> pointers(argv.size() + 1);
            std::transform(argv.begin(), argv.end(), pointers.begin(),
                           [](auto& w) { return w.data(); });
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
        EXPECT_EQ(WEXITSTATUS(status), exit_status) << screen;
        for (const char* shown : {"PLACE", "\x1b[J", "1-2.4", result, summary}) {
            EXPECT_NE(screen.find(shown), std::string::npos) << shown << "\n" << screen;
        }
        EXPECT_EQ(screen.find("\x1b[32m") == std::string::npos, no_color) << screen;
        EXPECT_EQ(screen.find("PLACE        SLOT     SERIAL ") != std::string::npos &&
                      screen.find("\n1-2.4        A1       ") != std::string::npos,
                  std::string(line).find("--slots") != std::string::npos)
            << screen;
    }
    const std::string record = dir.read("record");
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 3) << record;
}

} // namespace
