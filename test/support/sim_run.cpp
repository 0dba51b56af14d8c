#include "sim_run.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace sim_run {

namespace {

// Constant-initialised: other files' static texts are built from them.
constexpr const char* rule = "----------------------------------------------------------------\n";
constexpr const char* not_found = "   Target_Device_Not_Found.\n";

std::vector<uint8_t> from_hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// What the tool prints.

std::string default_rows(char mark, const std::string& before_hub) {
    return "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
           "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n" +
           before_hub + "(" + mark +
           ")000002 1234:5678 bcdDevice 0100 (address 03) bus 1, path 2.4\n"
           "( )000003 1111:0001 bcdDevice 0100 (address 02) bus 1, path 2\n"
           "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n";
}

std::string table(const std::string& rows, bool found) {
    return std::string("\n   device vid :pid  bcdDevice      (address)    bus    path\n") + rule +
           rows + (found ? "" : not_found) + rule;
}

std::string version_lines(const std::vector<int>& bytes) {
    const char* names[] = {"STD_MAJOR_VERSION        = ", "STD_MINOR_VERSION        = ",
                           "STD_REVISION_NUMBER      = ", "CUSTOMER_PROJECT_ID      = ",
                           "CUSTOMER_MAJOR_REVERSION = ", "CUSTOMER_MINOR_REVERSION = "};
    std::string text;
    for (std::size_t i = 0; i < 6; ++i) {
        text += names[i] + std::to_string(bytes[i]) + "\n";
    }
    return text;
}

std::string reg_write(const char* value) {
    return std::string("Tovrela_Reg_Write 5000=") + value + "\n";
}

std::string progress(std::size_t size, std::size_t blocks) {
    std::string text;
    unsigned last = 0;
    for (std::size_t offset = 0; offset < size && offset / 4096 < blocks; offset += 4096) {
        auto percent = static_cast<unsigned>(offset * 100 / size);
        if (percent > last) {
            char line[32];
            std::snprintf(line, sizeof line, "\rprogress=%02u%%", percent);
            text += line;
            last = percent;
        }
    }
    return text;
}

std::string flash_written(int selector, std::size_t size) {
    return "Tovrela_Flash_Write FW" + std::to_string(selector) + "\n" + progress(size) + "\n";
}

std::string update_banner(bool pass) {
    return "\n===========================\n" +
           std::string(pass ? "= Tovrela_FW_Update_PASS. =\n" : "= Tovrela_FW_Update_FAIL. =\n") +
           "===========================\n";
}

std::string passing_update(std::size_t size0, std::size_t size1) {
    return reg_write("0010") + reg_write("0011") + flash_written(1, size1) + reg_write("0012") +
           reg_write("0020") + flash_written(0, size0) + reg_write("0110") + update_banner(true) +
           "Status=0x1\n";
}

// ---------------------------------------------------------------------------------------------
// What the simulator records.

std::vector<TraceEvent> Trace::transfers() const {
    std::vector<TraceEvent> found;
    for (const auto& event : events) {
        if (event.kind != 'P') {
            found.push_back(event);
        }
    }
    return found;
}

Trace parse_trace(const std::string& text) {
    Trace trace;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        TraceEvent event;
        words >> event.kind;
        if (event.kind == 'V') {
            trace.violations.push_back(line.substr(2));
        } else if (event.kind == 'P') {
            uint64_t start = 0;
            words >> start >> event.pause_us;
            trace.events.push_back(event);
        } else if (event.kind == 'T' || event.kind == 'X') {
            std::string number, clock, direction, value, data;
            words >> number >> clock >> direction >> std::hex >> event.request >> value >>
                event.index >> std::dec >> event.length >> event.result;
            event.in = direction == "in";
            if (words >> data && data.rfind("/dev/", 0) != 0) {
                event.data = from_hex(data);
            }
            trace.events.push_back(event);
        }
    }
    return trace;
}

Verdict split_verdict(const std::string& text) {
    Verdict verdict{text, ""};
    const std::size_t at = text.rfind("End of the run after transfer ");
    if (at != std::string::npos && (at == 0 || text[at - 1] == '\n' || text[at - 1] == ' ')) {
        const std::size_t line = text.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t begin = at == 0 || line == std::string::npos ? 0 : line + 1;
        verdict.closing = text.substr(begin);
        verdict.violations = text.substr(0, begin);
    }
    return verdict;
}

void expect_pause_schedule(const Trace& trace) {
    std::vector<uint64_t> pauses;
    int register_value = -1;
    const TraceEvent* previous = nullptr;
    std::size_t position = 0;
    for (const auto& event : trace.events) {
        ++position;
        if (event.kind == 'P') {
            pauses.push_back(event.pause_us);
            continue;
        }
        std::vector<uint64_t> expected;
        if (previous != nullptr && previous->is(false, 0xb9)) {
            expected.push_back(123000);
        }
        if (event.status_read()) {
            if (register_value == 0x0020) {
                expected.push_back(2000000);
            }
            expected.push_back(321000);
        }
        if (int value = event.register_value(); value >= 0) {
            if (value == 0x0011 || value == 0x0020) {
                expected.push_back(1000000);
            }
            register_value = value;
        } else if (event.is(false, 0xb2)) {
            register_value = -1; // a flash block's prepare frame
        }
        EXPECT_EQ(pauses, expected) << "before event " << position;
        pauses.clear();
        previous = &event;
    }
    EXPECT_TRUE(pauses.empty()) << "pauses after the last transfer";
}

// ---------------------------------------------------------------------------------------------
// A run of the tool on the virtual hub, in a temporary working directory.

void VirtualHub::write_files(std::size_t size0, std::size_t size1, const std::string& config) {
    image0 = test_files::pattern_bytes(size0, 0);
    image1 = test_files::pattern_bytes(size1, 1);
    dir.write("image0.bin", image0);
    dir.write("image1.bin", image1);
    dir.write("update.ini",
              "[Config]\n" + config + "TovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n");
}

void VirtualHub::write_versioned_image0(int major, int minor, int revision, int customer) {
    image0 = test_files::pattern_bytes(0x100000, 2);
    image0[0xFFFF0] = static_cast<uint8_t>(major);
    image0[0xFFFED] = static_cast<uint8_t>(minor);
    image0[0xFFFEE] = static_cast<uint8_t>(revision);
    image0[0xFFFF1] = static_cast<uint8_t>(customer);
    dir.write("image0.bin", image0);
}

void VirtualHub::write_sparse(const std::string& name, std::size_t size) {
    dir.write(name, std::string());
    std::filesystem::resize_file(dir.file(name), size);
}

SimRun VirtualHub::run(std::vector<std::string> sim_options,
                       const std::vector<std::string>& tool_args,
                       const std::vector<std::string>& wrapper) const {
    std::vector<std::string> argv{TOVRELA_SIM_BIN,   "--fast",         "--trace",
                                  dir.file("trace"), "--verdict",      dir.file("verdict"),
                                  "--flash-out",     dir.file("flash")};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.push_back("--");
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.push_back(TOVRELA_UPDATE_BIN);
    argv.insert(argv.end(), tool_args.begin(), tool_args.end());
    SimRun result;
    result.process = test_process::run(argv, dir.path());
    result.trace = parse_trace(dir.read("trace"));
    result.verdict = dir.read("verdict");
    for (int image = 0; image < 2; ++image) {
        std::string bytes = dir.read("flash/image" + std::to_string(image) + ".bin");
        result.flashed[image].assign(bytes.begin(), bytes.end());
    }
    return result;
}

SimRun VirtualHub::run_hub(const std::vector<std::string>& tool_args,
                           std::vector<std::string> sim_options) const {
    std::vector<std::string> args{"-vid=1234", "-pid=5678"};
    args.insert(args.end(), tool_args.begin(), tool_args.end());
    return run(std::move(sim_options), args);
}

} // namespace sim_run
