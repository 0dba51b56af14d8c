#include "line_options.h"

#include "tool_version.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <getopt.h>
#include <string_view>

namespace line {

namespace {

constexpr const char* help_text =
    "Usage: tovrela-line --vid=HEX --pid=HEX [OPTION]...\n"
    "Updates, checks or lists every matching hub at once, each through its own\n"
    "tovrela-update process, in a folder that holds \"update.ini\" and the images\n"
    "(the list needs neither).\n"
    "\n"
    "Hubs:\n"
    "  --vid=HEX            vendor id of the hubs (required)\n"
    "  --pid=HEX            product id of the hubs (required)\n"
    "  --bus=N              only hubs on bus N (decimal)\n"
    "  --path=P             only hubs whose port path starts with P (as in 2.4)\n"
    "  --slots=FILE         name the places of a fixture: lines \"BUS-PATH NAME\"\n"
    "  --only-slots         only the places the slots file names\n"
    "Job (default: the full update):\n"
    "  --check              the update check on every hub\n"
    "  --list               list every hub: place, address, bcdDevice, serial, chip version\n"
    "  --only-outdated      update only hubs whose chip is older than Image 0\n"
    "Running:\n"
    "  --jobs=N             at most N hubs at once (default: all)\n"
    "  --watch              station mode: update every hub that is plugged in, until\n"
    "                       SIGINT or SIGTERM\n"
    "  --count=N            with --watch: end after N boards have a final result\n"
    "  --retries=N          update a board whose update failed again, up to N more times\n"
    "  --tool=PATH          the tovrela-update to run (default: the one beside tovrela-line)\n"
    "Records:\n"
    "  --logs=DIR           logs folder (default: ./tovrela-line-logs)\n"
    "  --record=FILE        append one JSON object per hub and attempt to FILE\n"
    "  --events=FILE        append each board's events as JSON Lines to FILE as they\n"
    "                       happen; \"-\": standard output, with no table\n"
    "  --expect-sha256=FILE refuse to start unless the images have the sums in FILE\n"
    "                       (lines as sha256sum writes them)\n"
    "  --help               print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0    every hub did its job\n"
    "  1    a hub failed, was busy, unplugged or not found, or a record could not be\n"
    "       written\n"
    "  2    usage error, or the tool, the logs folder or the record is not usable\n"
    "  3    no hub matched (not with --watch)\n"
    "  4    the images were refused before any hub was touched\n"
    "  128+N  stopped by signal N\n"
    "\n"
    "Report bugs to the tovrela-update maintainers.\n";

enum OptionId : int {
    opt_vid = 256,
    opt_pid,
    opt_bus,
    opt_path,
    opt_check,
    opt_list,
    opt_only_outdated,
    opt_jobs,
    opt_watch,
    opt_count,
    opt_retries,
    opt_tool,
    opt_logs,
    opt_record,
    opt_expect,
    opt_events,
    opt_slots,
    opt_only_slots,
    opt_help,
    opt_version,
};

constexpr option long_options[] = {
    {"vid", required_argument, nullptr, opt_vid},
    {"pid", required_argument, nullptr, opt_pid},
    {"bus", required_argument, nullptr, opt_bus},
    {"path", required_argument, nullptr, opt_path},
    {"check", no_argument, nullptr, opt_check},
    {"list", no_argument, nullptr, opt_list},
    {"only-outdated", no_argument, nullptr, opt_only_outdated},
    {"jobs", required_argument, nullptr, opt_jobs},
    {"watch", no_argument, nullptr, opt_watch},
    {"count", required_argument, nullptr, opt_count},
    {"retries", required_argument, nullptr, opt_retries},
    {"tool", required_argument, nullptr, opt_tool},
    {"logs", required_argument, nullptr, opt_logs},
    {"record", required_argument, nullptr, opt_record},
    {"expect-sha256", required_argument, nullptr, opt_expect},
    {"events", required_argument, nullptr, opt_events},
    {"slots", required_argument, nullptr, opt_slots},
    {"only-slots", no_argument, nullptr, opt_only_slots},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {nullptr, 0, nullptr, 0},
};

// The whole of `text` as a number in `base` within [low, high].
template <typename Number>
std::optional<Number> read_number(std::string_view text, int base, Number low, Number high) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || stop != end ||
        value < static_cast<unsigned long>(low) || value > static_cast<unsigned long>(high)) {
        return std::nullopt;
    }
    return static_cast<Number>(value);
}

void usage_error(const std::string& text) {
    std::fprintf(stderr, "tovrela-line: %s (tovrela-line --help lists the options)\n",
                 text.c_str());
}

// The options whose value is taken as it stands.
constexpr std::array<std::pair<int, std::string LineOptions::*>, 6> text_options{{
    {opt_tool, &LineOptions::tool},
    {opt_logs, &LineOptions::logs},
    {opt_record, &LineOptions::record},
    {opt_expect, &LineOptions::expect_sha256},
    {opt_events, &LineOptions::events},
    {opt_slots, &LineOptions::slots},
}};

// Where an option without a value that only sets a flag goes; null for the others.
bool* flag_option(int id, LineOptions& options) {
    switch (id) {
    case opt_only_outdated:
        return &options.only_outdated;
    case opt_watch:
        return &options.watch;
    case opt_only_slots:
        return &options.only_slots;
    default:
        return nullptr;
    }
}

// One option into `options`; false after a usage error.
bool take_option(int id, const char* value, LineOptions& options, bool& ids_given) {
    const std::string_view text = value == nullptr ? "" : value;
    const auto bad = [&](const char* name, const char* form) {
        usage_error(std::string("--") + name + " needs " + form + ", not \"" + std::string(text) +
                    "\"");
        return false;
    };
    switch (id) {
    case opt_vid:
    case opt_pid: {
        const auto number = read_number<uint16_t>(text, 16, 0, 0xFFFF);
        if (!number) {
            return bad(id == opt_vid ? "vid" : "pid", "a hexadecimal id such as 1234");
        }
        (id == opt_vid ? options.hubs.vid : options.hubs.pid) = *number;
        ids_given = true;
        return true;
    }
    case opt_bus:
        options.hubs.bus = read_number<int>(text, 10, 1, 255);
        return options.hubs.bus ? true : bad("bus", "a decimal bus number from 1 to 255");
    case opt_path: {
        const auto ports = parse_port_path(text);
        if (!ports) {
            return bad("path", "a port path such as 2.4 (ports 1 to 255, at most 7)");
        }
        options.hubs.path_prefix = *ports;
        return true;
    }
    case opt_jobs:
    case opt_count:
    case opt_retries: {
        const bool retries = id == opt_retries;
        const auto number =
            read_number<unsigned>(text, 10, retries ? 0 : 1, retries ? 100 : 100000);
        if (!number) {
            return bad(id == opt_jobs ? "jobs"
                       : retries      ? "retries"
                                      : "count",
                       retries ? "a decimal number from 0 to 100"
                               : "a decimal number of at least 1");
        }
        (id == opt_jobs ? options.jobs : retries ? options.retries : options.count) = *number;
        return true;
    }
    default:
        break;
    }
    if (text.empty() && value != nullptr) {
        return bad("option", "a value that is not empty");
    }
    for (const auto& [option, member] : text_options) {
        if (option == id) {
            options.*member = text;
            return true;
        }
    }
    return false;
}

// The rules between options; false after a usage error.
bool consistent(const LineOptions& options, bool check, bool list, bool ids_given,
                bool vid_and_pid) {
    if (!ids_given || !vid_and_pid) {
        usage_error("--vid and --pid are required");
        return false;
    }
    if (check && list) {
        usage_error("--check and --list are two jobs; choose one");
        return false;
    }
    if (options.only_outdated && options.job != Job::update) {
        usage_error("--only-outdated goes with the update only");
        return false;
    }
    if (options.retries != 0 && options.job != Job::update) {
        usage_error("--retries goes with the update only");
        return false;
    }
    if (options.watch && options.job == Job::list) {
        usage_error("--watch goes with the update or --check, not --list");
        return false;
    }
    if (options.count != 0 && !options.watch) {
        usage_error("--count goes with --watch only");
        return false;
    }
    if (options.only_slots && options.slots.empty()) {
        usage_error("--only-slots goes with --slots only");
        return false;
    }
    return true;
}

} // namespace

const char* job_name(Job job) {
    return job == Job::check ? "check" : job == Job::list ? "list" : "update";
}

ParsedOptions parse_options(int argc, char** argv, const std::string& default_tool) {
    ParsedOptions parsed;
    LineOptions& options = parsed.options;
    options.tool = default_tool;
    bool check = false;
    bool list = false;
    bool ids_given = false;
    bool vid_given = false;
    bool pid_given = false;
    optind = 1;
    opterr = 0;
    for (int id; (id = getopt_long(argc, argv, "", long_options, nullptr)) != -1;) {
        switch (id) {
        case opt_help:
        case opt_version:
            // Done only when the text reached standard output whole.
            if (id == opt_help) {
                std::fputs(help_text, stdout);
            } else {
                std::printf("tovrela-line %s\n", TOVRELA_UPDATE_VERSION);
            }
            parsed.outcome = std::fflush(stdout) == 0 && !std::ferror(stdout)
                                 ? ParseOutcome::done
                                 : ParseOutcome::usage_error;
            return parsed;
        case opt_check:
        case opt_list:
            (id == opt_check ? check : list) = true;
            options.job = id == opt_check ? Job::check : Job::list;
            continue;
        case '?':
        case ':':
            usage_error(std::string("unknown option or missing value: ") + argv[optind - 1]);
            return parsed;
        default:
            if (bool* flag = flag_option(id, options)) {
                *flag = true;
                continue;
            }
            vid_given = vid_given || id == opt_vid;
            pid_given = pid_given || id == opt_pid;
            if (!take_option(id, optarg, options, ids_given)) {
                return parsed;
            }
        }
    }
    if (optind < argc) {
        usage_error(std::string("unexpected argument \"") + argv[optind] + "\"");
        return parsed;
    }
    if (consistent(options, check, list, ids_given, vid_given && pid_given)) {
        parsed.outcome = ParseOutcome::run;
    }
    return parsed;
}

} // namespace line
