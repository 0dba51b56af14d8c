// What keeps a line's attempts safe when the line dies: a tool that writes to files of its own
// and holds its events file locked while it runs, the attempts noted beside the record, and the
// record lines a later run builds from an attempt's folder.
#include "attempt_record.h"
#include "hub_job.h"
#include "json_keys.h"
#include "open_attempts.h"
#include "test_files.h"
#include "tool_process.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace line;
using Json = nlohmann::ordered_json;
using test_files::TempDir;

void wait_until_ended(ToolProcess& process) {
    while (!process.ended()) {
        poll(nullptr, 0, 10);
    }
}

// The events, one a line, as the tool writes them.
std::string result_event(int status) {
    return R"({"v":1,"event":"result","mode":"x","exit_status":)" + std::to_string(status) + "}\n";
}
const std::string version_event =
    R"({"v":1,"event":"chip_version","version":"2.13.15.4","bytes":[2,13,15,0,0,4]})"
    "\n";

// A tool held still on a FIFO: its events file stays locked exactly while it runs, whatever the
// line does with its own descriptors; its output goes to the log, its events to their file,
// read as they come.
TEST(ToolFiles, OutputToTheLogEventsToTheirFileLockedWhileTheToolRuns) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("go").c_str(), 0600), 0);
    const UniqueFd log(::open(dir.file("log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
    ASSERT_TRUE(log);
    ASSERT_TRUE(write_all(log.get(), "$ tool\n", 7));
    std::string error;
    auto tool = ToolProcess::start(
        "/bin/sh", {"-c", "echo out; echo err >&2; echo one >&3; cat go; echo two >&3"}, dir.path(),
        log.get(), dir.file("events"), error);
    ASSERT_TRUE(tool) << error;
    std::string events;
    while (events.empty()) {
        events = tool->new_events();
        poll(nullptr, 0, 10);
    }
    EXPECT_EQ(events, "one\n");
    EXPECT_EQ(events_writer(dir.file("events")), EventsWriter::running);
    EXPECT_FALSE(tool->ended());
    { const UniqueFd release(::open(dir.file("go").c_str(), O_WRONLY)); }
    wait_until_ended(*tool);
    EXPECT_EQ(tool->new_events(), "two\n");
    EXPECT_EQ(events_writer(dir.file("events")), EventsWriter::ended);
    EXPECT_EQ(events_writer(dir.file("none")), EventsWriter::no_file);
    EXPECT_EQ(dir.read("log"), "$ tool\nout\nerr\n");
}

// A record, a run folder and attempts in it, as the line makes them.
class Attempts : public testing::Test {
  protected:
    void SetUp() override {
        dir.write("record", "");
        std::filesystem::create_directories(dir.file("logs/20261209T101500Z"));
        std::string error;
        ASSERT_TRUE(journal.open(dir.file("record"), error)) << error;
    }

    // A new attempt folder at `place` for `job`, noted as begun by `by`.
    std::string begin(OpenAttempts& by, const std::string& place, const std::string& job,
                      bool only_outdated = false) {
        const std::string folder = dir.file("logs/20261209T101500Z/" + place);
        std::filesystem::create_directory(folder);
        AttemptRecord start;
        start.run = "20261209T101500Z";
        start.started = std::chrono::system_clock::now();
        start.bus = place[0] - '0';
        start.path = place.substr(2);
        start.job = job;
        start.log = folder + "/" + place + ".log";
        std::string error;
        EXPECT_TRUE(by.begin(folder, record_line(start), start.started, only_outdated, error))
            << error;
        const std::string log = "logs/20261209T101500Z/" + place + "/" + place + ".log";
        dir.write(log, "$ tovrela-update\n");
        const auto written = start.started + std::chrono::seconds(60);
        const auto since_1970 =
            std::chrono::duration_cast<std::chrono::nanoseconds>(written.time_since_epoch());
        const timespec times[2] = {{0, UTIME_OMIT},
                                   {static_cast<time_t>(since_1970.count() / 1000000000),
                                    static_cast<long>(since_1970.count() % 1000000000)}};
        EXPECT_EQ(utimensat(AT_FDCWD, dir.file(log).c_str(), times, 0), 0);
        return folder;
    }

    [[nodiscard]] std::vector<std::string> links() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("record.open"))) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir;
    OpenAttempts journal;
};

// Each way an attempt can be left by a line that died, and the record line built from its
// folder: every field, in the record's order, its real start, and its end from the folder.
TEST_F(Attempts, RecordLinesBuiltFromTheFolders) {
    struct Case {
        const char* job;
        bool only_outdated;
        std::string check;  // check.events, or the version read's ("-": none)
        std::string update; // update.events ("-": none)
        Json expected;
    };
    const Case cases[] = {
        {"update",
         false,
         "-",
         "-",
         {{"result", "stopped"},
          {"exit_status", nullptr},
          {"message", "the line ended before this hub's tool ran"}}},
        {"update",
         false,
         version_event + result_event(0),
         "-",
         {{"result", "stopped"},
          {"version_before", "2.13.15.4"},
          {"exit_status", 0},
          {"message", "the line ended before this hub's update"}}},
        {"update",
         true,
         version_event + result_event(7),
         "-",
         {{"result", "up_to_date"}, {"exit_status", 7}, {"message", nullptr}}},
        {"update", false, result_event(250), "-", {{"result", "busy"}, {"exit_status", 250}}},
        {"update",
         false,
         version_event + result_event(0),
         result_event(0),
         {{"result", "passed"},
          {"version_before", "2.13.15.4"},
          {"exit_status", 0},
          {"message", nullptr}}},
        {"update",
         false,
         result_event(0),
         "{\"v\":1,\"event\":\"image\"}\n",
         {{"result", "failed"},
          {"exit_status", nullptr},
          {"message", "the tool ended without its result"}}},
        {"update",
         false,
         result_event(0),
         R"({"v":1,"event":"result","exit_status":1,"failure":"I2C-WriteCmd B8 Fail -9"})"
         "\n",
         {{"result", "failed"}, {"exit_status", 1}, {"message", "I2C-WriteCmd B8 Fail -9"}}},
        {"check",
         false,
         version_event + result_event(7),
         "-",
         {{"result", "up_to_date"}, {"version_before", "2.13.15.4"}, {"exit_status", 7}}},
        {"list",
         false,
         version_event + result_event(0),
         "-",
         {{"result", "listed"}, {"version_before", "2.13.15.4"}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string place = "1-" + std::to_string(++n);
        SCOPED_TRACE(place);
        const std::string folder = begin(journal, place, c.job, c.only_outdated);
        const std::string first = c.job == std::string("list") ? "read_version" : "check";
        if (c.check != "-") {
            dir.write("logs/20261209T101500Z/" + place + "/" + first + ".events", c.check);
        }
        if (c.update != "-") {
            dir.write("logs/20261209T101500Z/" + place + "/update.events", c.update);
        }
        bool final = true;
        std::string error;
        const auto text = completed_line(folder, final, error);
        ASSERT_TRUE(text) << error;
        EXPECT_FALSE(final);
        EXPECT_TRUE(text->ends_with("}\n"));
        const Json line = Json::parse(*text);
        EXPECT_EQ(json_keys::in_order(line), record_field_names());
        for (const auto& [field, value] : c.expected.items()) {
            EXPECT_EQ(line[field], value) << field << " in " << *text;
        }
        EXPECT_EQ(line["job"], c.job);
        EXPECT_EQ(line["log"], folder + "/" + place + ".log");
        // Ended when its folder last changed: its log, here a minute after its start.
        EXPECT_EQ(line["seconds"], 60.0) << *text;
    }
}

// Only the attempts of a line that is gone are completed, run by run, each once; a final line
// the line had built is taken as it is, and not appended again when the record holds it.
TEST_F(Attempts, CompletedOnceAndOnlyWhenTheirLineIsGone) {
    const std::string living = begin(journal, "1-1", "update");
    std::string final_line;
    {
        OpenAttempts dead;
        std::string error;
        ASSERT_TRUE(dead.open(dir.file("record"), error)) << error;
        const std::string folder = begin(dead, "1-2", "check");
        dir.write("logs/20261209T101500Z/1-2/check.events", result_event(0));
        begin(dead, "1-3", "check");
        AttemptRecord settled;
        settled.run = "20261209T101500Z";
        settled.bus = 1;
        settled.path = "2";
        settled.outcome.result = "update_available";
        final_line = record_line(settled);
        dead.settle(folder, final_line); // its record line not written yet
    }
    EXPECT_EQ(links(), (std::vector<std::string>{"20261209T101500Z_1-1", "20261209T101500Z_1-2",
                                                 "20261209T101500Z_1-3"}));
    RecordFile record;
    std::string error;
    ASSERT_TRUE(record.open(dir.file("record"), error)) << error;
    LineSignals signals;
    OpenAttempts next;
    ASSERT_TRUE(next.open(dir.file("record"), error)) << error;
    EXPECT_EQ(complete_open_attempts(next, record, signals), 0);
    std::istringstream lines(dir.read("record"));
    std::string one;
    std::string two;
    std::getline(lines, one);
    std::getline(lines, two);
    EXPECT_EQ(one + "\n", final_line);
    EXPECT_EQ(Json::parse(two)["path"], "3");
    EXPECT_EQ(Json::parse(two)["result"], "stopped");
    EXPECT_TRUE(lines.peek() == EOF) << dir.read("record");
    EXPECT_EQ(links(), (std::vector<std::string>{"20261209T101500Z_1-1"}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("logs/20261209T101500Z/1-2/attempt.json")));
    EXPECT_TRUE(std::filesystem::exists(living + "/attempt.json"));

    // The living line's attempt ends: closed by its line alone.
    journal.settle(living, final_line);
    journal.close_settled();
    EXPECT_EQ(links(), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(living + "/attempt.json"));

    // A line that died after its record line was written: nothing appended twice.
    {
        OpenAttempts dead;
        ASSERT_TRUE(dead.open(dir.file("record"), error)) << error;
        const std::string folder = begin(dead, "1-4", "check");
        dead.settle(folder, final_line);
    }
    const std::string before = dir.read("record");
    EXPECT_EQ(complete_open_attempts(next, record, signals), 0);
    EXPECT_EQ(dir.read("record"), before);
    EXPECT_EQ(links(), std::vector<std::string>{});
}

// A record that is not a regular file keeps no attempts; the folder of a record's open attempts
// goes when none is left; a record whose folder cannot be made is refused.
TEST(OpenAttemptsFolder, OnlyBesideARegularFile) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    OpenAttempts fifo;
    std::string error;
    EXPECT_TRUE(fifo.open(dir.file("fifo"), error));
    EXPECT_EQ(fifo.folder(), "");
    EXPECT_TRUE(fifo.begin(dir.path(), "{}\n", {}, false, error));
    dir.write("other", "");
    {
        OpenAttempts tidy;
        EXPECT_TRUE(tidy.open(dir.file("other"), error)) << error;
        EXPECT_TRUE(std::filesystem::is_directory(dir.file("other.open")));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("other.open"))); // nothing was left open
    dir.write("record", "");
    dir.write("record.open", "");
    OpenAttempts blocked;
    EXPECT_FALSE(blocked.open(dir.file("record"), error));
    EXPECT_NE(error.find("record.open\" cannot be made"), std::string::npos) << error;
}

} // namespace
