// tovrela-line's pieces without a process: reading the tool's events, judging a tool's run, the
// tool's options, the profile and the images read, the profile rewrite, the record, the sums, the
// slots file and the line's own events.
#include "attempt_record.h"
#include "hub_job.h"
#include "images.h"
#include "json_keys.h"
#include "line_events.h"
#include "line_options.h"
#include "slots.h"
#include "test_files.h"
#include "tool_output.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using namespace line;
using Json = nlohmann::ordered_json;

void wait_until_ended(ToolProcess& process) {
    while (!process.ended()) {
        poll(nullptr, 0, 10);
    }
}

// Events as the tool writes them, one a line.
std::string event(const std::string& fields) {
    return R"({"v":1,)" + fields + "}\n";
}
std::string reg(const char* value) {
    return event(R"("event":"register","address":"0x5000","value":"0x)" + std::string(value) +
                 "\"");
}
std::string image(int number, int blocks) {
    return event(R"("event":"image","image":)" + std::to_string(number) +
                 R"(,"bytes":4096,"blocks":)" + std::to_string(blocks));
}
std::string block(int number, int done, int blocks) {
    return event(R"("event":"block","image":)" + std::to_string(number) + R"(,"block":)" +
                 std::to_string(done) + R"(,"blocks":)" + std::to_string(blocks));
}

TEST(ToolOutputReading, PhaseProgressVersionAndFailureFromTheEvents) {
    // Image 1 of 1,000 bytes, Image 0 of 3,000: Image 0 half done is 2,500 of 4,000 bytes.
    struct Case {
        std::string events;
        const char* phase;
        double progress;
        const char* failure;
    };
    const std::string failed_result =
        event(R"("event":"result","mode":"update","exit_status":1,)"
              R"("failure":"I2C-WriteCmd B8 Fail -9","libusb_error":-9)");
    const Case cases[] = {
        {reg("0010"), "register 0010", 0.0, ""},
        {image(1, 4) + block(1, 2, 4), "Image 1", 0.125, ""},
        {image(1, 4) + block(1, 3, 4) + reg("0012"), "register 0012", 0.25, ""},
        {image(1, 4) + reg("0012") + image(0, 2) + block(0, 1, 2), "Image 0", 0.625, ""},
        {image(0, 10) + block(0, 1, 10) + failed_result, "Image 0", 0.325,
         "I2C-WriteCmd B8 Fail -9"},
        {image(0, 1) + reg("0110"), "register 0110", 1.0, ""},
        // A stop is the failure when the result names none.
        {image(1, 4) + event(R"("event":"stop","signal":"SIGINT","line":"Stopped by SIGINT")"),
         "Image 1", 0.0, "Stopped by SIGINT"},
        // Not events of version 1, or not events at all: skipped.
        {R"({"v":2,"event":"register","value":"0x0010"})"
         "\nStatus=0x1\n{\"v\":1,\"event\":\"register\",\"value\":7}\n[1]\n",
         "", 0.0, ""},
    };
    for (const Case& c : cases) {
        ToolOutput output({.image0 = 3000, .image1 = 1000});
        output.feed(c.events);
        output.finish();
        EXPECT_EQ(output.phase(), c.phase) << c.events;
        EXPECT_DOUBLE_EQ(output.progress(), c.progress) << c.events;
        EXPECT_EQ(output.failure(), c.failure) << c.events;
    }
    // A chip left in the middle of a command is said so by the result alone.
    for (const auto& [fields, unfinished] :
         {std::pair{R"("exit_status":1,"unfinished_command":true)", true},
          std::pair{R"("exit_status":1,"unfinished_command":"yes")", false},
          std::pair{R"("exit_status":1)", false}}) {
        ToolOutput output({.image0 = 1, .image1 = 1});
        output.feed(event(std::string(R"("event":"result",)") + fields));
        ASSERT_TRUE(output.result()) << fields;
        EXPECT_EQ(output.result()->unfinished_command, unfinished) << fields;
    }
    ToolOutput versions({.image0 = 1, .image1 = 1});
    const std::string version =
        event(R"("event":"chip_version","version":"2.13.15.4","bytes":[2,13,15,0,0,4])");
    versions.feed(version.substr(0, 20));
    EXPECT_FALSE(versions.chip_version());
    versions.feed(version.substr(20, version.size() - 21));
    versions.finish(); // the last line without its end counts too
    EXPECT_EQ(versions.chip_version().value_or(""), "2.13.15.4");
    EXPECT_FALSE(versions.result());

    // Each image's share in whole percent, from its start; a register step after an image means
    // the whole image, even when its last block's event was not read.
    ToolOutput images({.image0 = 3000, .image1 = 1000});
    const auto percents = [&images] {
        return std::pair{images.image_percent(1).value_or(-1),
                         images.image_percent(0).value_or(-1)};
    };
    EXPECT_EQ(percents(), std::pair(-1, -1));
    images.feed(image(1, 3));
    EXPECT_EQ(percents(), std::pair(0, -1));
    images.feed(block(1, 2, 3));
    EXPECT_EQ(percents(), std::pair(66, -1));
    images.feed(reg("0012") + image(0, 7) + block(0, 1, 7));
    EXPECT_EQ(percents(), std::pair(100, 14));
    images.feed(reg("0110"));
    EXPECT_EQ(percents(), std::pair(100, 100));
}

TEST(ToolRunJudging, ExitStatusAndEventsGiveTheResult) {
    struct Case {
        Step step;
        const char* script; // run by sh as the tool; its events on descriptor 3
        const char* expected;
    };
    const Case cases[] = {
        {Step::update, R"(echo '{"v":1,"event":"result","exit_status":0}' >&3)", result::passed},
        {Step::update, "echo '= Tovrela_FW_Update_PASS. ='; echo Status=0x1", result::failed},
        {Step::update, R"(echo '{"v":1,"event":"result","exit_status":0}' >&3; exit 1)",
         result::failed}, // the tool's word and its exit status must agree
        {Step::update,
         R"(echo '{"v":1,"event":"result","exit_status":1,"libusb_error":-4}' >&3; exit 1)",
         result::unplugged},
        {Step::update, R"(echo '{"v":1,"event":"stop","signal":"SIGINT"}' >&3; exit 130)",
         result::stopped},
        {Step::update, "kill -TERM $$", result::stopped},
        {Step::update, "exit 250", result::busy},
        {Step::update, "exit 251", result::not_found},
        {Step::update, "exit 252", result::unplugged},
        {Step::check, R"(echo '{"v":1,"event":"result","exit_status":0}' >&3)",
         result::update_available},
        {Step::check, R"(echo '{"v":1,"event":"result","exit_status":7}' >&3; exit 7)",
         result::up_to_date},
        {Step::check, R"(echo '{"v":1,"event":"result","exit_status":254}' >&3; exit 254)",
         result::failed},
        {Step::version_read, R"(echo '{"v":1,"event":"result","exit_status":0}' >&3)",
         result::listed},
        {Step::version_read, "exit 0", result::failed},
    };
    test_files::TempDir dir;
    for (const Case& c : cases) {
        std::string error;
        auto process =
            ToolProcess::start("/bin/sh", {"-c", c.script}, ".", -1, dir.file("events"), error);
        ASSERT_TRUE(process) << error;
        ToolOutput output({.image0 = 1, .image1 = 1});
        wait_until_ended(*process);
        output.feed(process->new_events());
        output.finish();
        EXPECT_EQ(step_result(c.step, *process, output), c.expected) << c.script;
    }
}

// The tool's options: the hub's place, its serial number when the tool takes it, the channel.
TEST(ToolArguments, PlaceSerialAndChannel) {
    HubInfo hub;
    hub.bus = 1;
    hub.ports = {2, 4};
    hub.vid = 0x1234;
    hub.pid = 0x5678;
    const std::string place = "-vid=1234 -pid=5678 -bus=1 -path=2.4 -exactpath=1 ";
    const auto words = [&hub] {
        std::string text;
        for (const auto& arg : tool_args(hub, Step::check)) {
            text += arg + " ";
        }
        return text;
    };
    EXPECT_EQ(words(), place + "-eventfd=3 -selftest=0 -checkupdateonly=1 ");
    hub.serial = "B-OLD";
    EXPECT_EQ(words(), place + "-serial=B-OLD -eventfd=3 -selftest=0 -checkupdateonly=1 ");
    for (const char* unfit : {"", "A B"}) {
        hub.serial = unfit;
        EXPECT_EQ(words().find("-serial"), std::string::npos) << unfit;
    }
}

// The line reads "update.ini" as the tool does (CR LF line ends, comments, the first [Config]
// section), refuses an image by its size before reading it, and reads a sums file with CR LF
// line ends; each hub's profile points at the run's copies.
TEST(Images, ProfileAndSumsReadAsTheToolReadsThem) {
    test_files::TempDir dir;
    dir.enter();
    dir.write("a.bin", std::string(0x80000, 'a'));
    dir.write("b.bin", std::string("b"));
    const std::string profile = "TovrelaBin0=outside.bin\r\n[Factory]\r\n; copy into [Config]\r\n"
                                "TovrelaBin0=factory.bin\r\n[Config]\r\nLogFile=1\r\n"
                                "TovrelaBin0=a.bin\r\nTovrelaBin1=b.bin\r\n[Other]\r\n";
    dir.write("update.ini", profile);
    std::string error;
    const auto set = load_images("update.ini", error);
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(set->images[0].name, "a.bin");
    EXPECT_EQ(set->images[1].name, "b.bin");
    EXPECT_EQ(hub_profile(set->profile),
              "TovrelaBin0=outside.bin\r\n[Factory]\r\n; copy into [Config]\r\n"
              "TovrelaBin0=factory.bin\r\n[Config]\r\nLogFile=1\r\n"
              "TovrelaBin0=../image0.bin\nTovrelaBin1=../image1.bin\n[Other]\r\n");
    EXPECT_EQ(expected_sums_refusal(*set, set->images[0].sha256 + "  a.bin\r\n" +
                                              set->images[1].sha256 + " *b.bin\r\n"),
              "");

    // Image 0 of 2 MiB and a byte is refused from its size; an entry on a line too long too.
    std::filesystem::resize_file(dir.file("a.bin"), 0x200001);
    EXPECT_FALSE(load_images("update.ini", error));
    EXPECT_EQ(error, "Image 0 has 2097153 bytes; it must have 524288 to 2097152 bytes (512 KiB to "
                     "2 MiB) (a.bin)");
    dir.write("update.ini", "[Config]\nTovrelaBin0=" + std::string(188, 'p') + "\n");
    EXPECT_FALSE(load_images("update.ini", error));
    EXPECT_EQ(error, "\"update.ini\": the line of TovrelaBin0 is longer than 199 characters");
}

// The record's fields come from one list: every line holds them in its order, and the manual
// page's RECORD section names the same fields in the same order.
TEST(Record, FieldsOfTheLinesAndTheManualPage) {
    EXPECT_EQ(json_keys::in_order(Json::parse(record_line(AttemptRecord{}))), record_field_names());

    std::ifstream page(std::string(TOVRELA_SOURCE_DIR) + "/packaging/tovrela-line.1");
    std::vector<std::string> listed;
    bool in_record = false;
    bool tag = false;
    for (std::string text; std::getline(page, text);) {
        if (text.starts_with(".SH")) {
            in_record = text == ".SH RECORD";
        } else if (in_record && tag && (text.starts_with(".B ") || text.starts_with(".BR "))) {
            // ".BR run \", \" host": the words outside the quotes are the fields.
            std::istringstream words(text.substr(text.find(' ') + 1));
            for (std::string word; words >> word;) {
                if (word.find('"') == std::string::npos) {
                    listed.push_back(word);
                }
            }
        }
        tag = text == ".TP";
    }
    EXPECT_EQ(listed, record_field_names());
}

// A record line is written whole or not at all: a write cut short (here by a file size limit) is
// undone and the line kept for the next write; a torn last line gets its line end first. Only a
// regular file or a FIFO is a record.
TEST(Record, LinesWrittenWholeOrKept) {
    test_files::TempDir dir;
    dir.write("record", std::string("{\"torn\":"));
    RecordFile record;
    std::string error;
    ASSERT_TRUE(record.open(dir.file("record"), error)) << error;
    const std::string one = "{\"line\":1}\n", two = "{\"line\":2}\n", three = "{\"line\":3}\n";
    EXPECT_TRUE(record.append(one));
    const std::string written = "{\"torn\":\n" + one;
    EXPECT_EQ(dir.read("record"), written);

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{written.size() + 4, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_FALSE(record.append(two));
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(dir.read("record"), written);
    EXPECT_EQ(record.kept(), two);
    EXPECT_TRUE(record.append(three));
    EXPECT_EQ(dir.read("record"), written + two + three);
    EXPECT_EQ(record.kept(), "");

    RecordFile device;
    EXPECT_FALSE(device.open("/dev/full", error));
    EXPECT_EQ(error, "record \"/dev/full\" is neither a regular file nor a FIFO");
}

TEST(Images, Sums) {
    const std::string abc = "abc";
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(abc.data()), abc.size());
    const std::string sum = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(sha256_hex(bytes), sum);
    ImageSet set;
    set.images[0] = {"dir/image0.bin", {}, sum};
    set.images[1] = {"image1.bin", {}, sum};
    const std::string other(64, '0');
    EXPECT_EQ(expected_sums_refusal(set, sum + "  image0.bin\n" + sum + " *image1.bin\n"), "");
    EXPECT_NE(expected_sums_refusal(set, other + "  image0.bin\n" + sum + "  image1.bin\n"), "");
    EXPECT_NE(expected_sums_refusal(set, sum + "  image0.bin\n" + other + "  image1.bin\n"), "");
    EXPECT_NE(expected_sums_refusal(set, sum + "  image0.bin\n"), ""); // Image 1 not listed
}

// A slots file: "BUS-PATH NAME" lines, blank lines and '#' comments, CR LF line ends; each place
// and name once, a name one word of printable ASCII. A refusal names the line.
TEST(Slots, ReadOrRefusedWithTheLine) {
    struct Case {
        const char* text;
        const char* slots; // "place=name ..." read, or empty after a refusal
        std::size_t line;  // of the refusal
        const char* error;
    };
    const Case cases[] = {
        {"", "", 0, ""},
        {"# fixture 7\n\n1-2.4 A3\r\n  2-3\tB1  \n3-0 root\n#1-5 X\n", "1-2.4=A3 2-3=B1 3-0=root",
         0, ""},
        {"01-2.04 A3\n", "1-2.4=A3", 0, ""}, // the place as the line writes it
        {"1-2.4 A3\n1-2.5\n", "", 2, "not \"BUS-PATH NAME\" (as \"1-2.4 A3\")"},
        {"1-2.4 A 3\n", "", 1, "not \"BUS-PATH NAME\" (as \"1-2.4 A3\")"},
        {"2.4 A3\n", "", 1, "not \"BUS-PATH NAME\" (as \"1-2.4 A3\")"},
        {"1-2.4.0 A3\n", "", 1, "not \"BUS-PATH NAME\" (as \"1-2.4 A3\")"},
        {"A3 1-2.4\n", "", 1, "not \"BUS-PATH NAME\" (as \"1-2.4 A3\")"},
        {"1-2.4 A3\n\n01-2.4 B1\n", "", 3, "the place 1-2.4 has a name already (line 1)"},
        {"1-2.4 A3\n1-2.5 A3\n", "", 2, "the name A3 is given already (line 1)"},
        {"1-2.4 A\x1b[2J\n", "", 1,
         "the name holds a control character or a byte that is not printable ASCII"},
        {"1-2.4 A3\x7f\n", "", 1,
         "the name holds a control character or a byte that is not printable ASCII"},
        {"1-2.4 Pl\xc3\xa4tz\n", "", 1,
         "the name holds a control character or a byte that is not printable ASCII"},
    };
    for (const Case& c : cases) {
        std::string error;
        std::size_t line = 0;
        const auto table = parse_slots(c.text, error, line);
        std::string read;
        for (const Slot& slot : table ? table->slots() : std::vector<Slot>{}) {
            read += (read.empty() ? "" : " ") + slot.place + "=" + slot.name;
        }
        EXPECT_EQ(read, c.slots) << c.text;
        EXPECT_EQ(table ? "" : error, c.error) << c.text;
        EXPECT_EQ(table ? 0 : line, c.line) << c.text;
        if (table && !table->slots().empty()) {
            EXPECT_EQ(table->name_of(table->slots().front().place), table->slots().front().name);
            EXPECT_FALSE(table->name_of("9-9"));
        }
    }
    // From a file: the refusal names the file and the line; a folder is no slots file.
    test_files::TempDir dir;
    dir.write("slots", "1-2.4 A3\n1-2.4 B1\n");
    std::string error;
    EXPECT_FALSE(read_slots(dir.file("slots"), error));
    EXPECT_EQ(error, "slots \"" + dir.file("slots") +
                         "\" line 2: the place 1-2.4 has a name already (line 1)");
    EXPECT_FALSE(read_slots(dir.path(), error));
    EXPECT_EQ(error, "slots \"" + dir.path() + "\" cannot be read: Is a directory");
}

// Events: one line each with every key of its kind; the device's serial number as every line
// shows it, its control characters escaped. A write cut short (a file size limit) is undone, said
// once, and later events are still written; only a regular file, a FIFO or standard output takes
// them.
TEST(LineEvents, LinesWithTheirKeysWrittenWholeOrNotAtAll) {
    const EventBoard board{"1-2.4", "A\n\x1b", 2, "A3"};
    const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1250));
    const std::string lines[] = {started_event(time, board),
                                 progress_event(time, board, {.image = 1, .percent = 50}),
                                 ended_event(time, board, "failed", 1, "I2C-WriteCmd B8 Fail -9")};
    for (const std::string& line : lines) {
        ASSERT_TRUE(line.ends_with("}\n")) << line;
        ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        const Json event = Json::parse(line);
        std::vector<std::string> keys;
        for (const auto& item : event.items()) {
            keys.push_back(item.key());
        }
        EXPECT_EQ(keys, event_keys(event.value("event", ""))) << line;
        EXPECT_EQ(event.value("serial", ""), "A\\n\\x1b");
        EXPECT_EQ(event.value("time", ""), "1970-01-01T00:00:01.250Z");
    }
    EXPECT_EQ(lines[1].substr(lines[1].find("\"attempt\"")),
              "\"attempt\":2,\"slot\":\"A3\",\"image\":1,\"percent\":50}\n");
    EXPECT_EQ(lines[2].substr(lines[2].find("\"result\"")),
              "\"result\":\"failed\",\"exit_status\":1,\"message\":\"I2C-WriteCmd B8 Fail -9\"}\n");

    test_files::TempDir dir;
    EventFile events;
    std::string error;
    ASSERT_TRUE(events.open(dir.file("events"), error)) << error;
    // Long enough that the limit leaves room for standard error's copy, a file too.
    const std::string before = lines[0] + lines[0] + lines[0];
    events.write(before);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{before.size() + 10, limit.rlim_max};
    testing::internal::CaptureStderr();
    setrlimit(RLIMIT_FSIZE, &small);
    events.write(lines[1]);
    events.write(lines[1]);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "tovrela-line: an event could not be written to \"" + dir.file("events") +
                        "\" (cut short); events may be missing there; the line goes on\n");
    EXPECT_TRUE(events.failed());
    events.write(lines[2]);
    EXPECT_EQ(dir.read("events"), before + lines[2]);

    for (const std::string& unfit : {std::string("/dev/null"), dir.path()}) {
        EventFile refused;
        EXPECT_FALSE(refused.open(unfit, error)) << unfit;
        EXPECT_TRUE(error.starts_with("events \"" + unfit + "\" ")) << error;
    }

    // A FIFO whose reader does not read: the line never waits, the events that do not fit are
    // dropped whole, and that is said once.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const UniqueFd reader(::open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    ASSERT_EQ(fcntl(reader.get(), F_SETPIPE_SZ, 4096), 4096);
    EventFile fifo;
    ASSERT_TRUE(fifo.open(dir.file("fifo"), error)) << error;
    testing::internal::CaptureStderr();
    for (int n = 0; n < 100; ++n) {
        fifo.write(lines[1]);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tovrela-line: an event could not be written to \"" + dir.file("fifo") +
                  "\" (its reader does not keep up); events may be missing there; the line goes "
                  "on\n");
    std::string got(8192, '\0');
    const ssize_t read = ::read(reader.get(), got.data(), got.size());
    ASSERT_GT(read, 0);
    got.resize(static_cast<std::size_t>(read));
    EXPECT_EQ(got.size() % lines[1].size(), 0u);
    EXPECT_TRUE(got.starts_with(lines[1]) && got.ends_with(lines[1]));
}

} // namespace
