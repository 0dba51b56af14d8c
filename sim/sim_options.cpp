#include "sim_options.h"

#include "port_path.h"
#include "usb_tree.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstring>
#include <getopt.h>
#include <iterator>
#include <optional>
#include <string_view>
#include <tuple>

namespace sim {

namespace {

std::optional<unsigned long> parse_number(std::string_view text, int base) {
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    unsigned long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint16_t> parse_id(std::string_view text) {
    auto value = parse_number(text, 16);
    if (!value || *value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*value);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

// "2.4" -> {2, 4}; "0" or "root" -> {} (the root hub). At most 7 ports, each 1 to 255.
std::optional<std::vector<uint8_t>> parse_hub_ports(std::string_view text) {
    if (text == "0" || text == "root") {
        return std::vector<uint8_t>{};
    }
    return parse_port_path(text);
}

std::optional<int> parse_signal(std::string_view text) {
    if (text.substr(0, 3) == "SIG") {
        text.remove_prefix(3);
    }
    constexpr std::pair<std::string_view, int> names[] = {
        {"INT", SIGINT},      {"TERM", SIGTERM}, {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
        {"KILL", SIGKILL},    {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE},
        {"STOP", SIGSTOP},    {"CONT", SIGCONT}, {"ALRM", SIGALRM}, {"VTALRM", SIGVTALRM},
        {"PROF", SIGPROF},    {"XCPU", SIGXCPU}, {"PWR", SIGPWR},   {"IO", SIGIO},
        {"STKFLT", SIGSTKFLT}};
    for (auto [name, number] : names) {
        if (text == name) {
            return number;
        }
    }
    auto number = parse_number(text, 10);
    if (!number || *number < 1 || *number > 64) {
        return std::nullopt;
    }
    return static_cast<int>(*number);
}

std::optional<unsigned> parse_bus(std::string_view text) {
    auto bus = parse_number(text, 10);
    if (!bus || *bus < 1 || *bus > 255) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*bus);
}

// A fault kind, with its value for state=HH (hex) and reply-bytes=N (0 to 7).
std::optional<chip_model::FaultKind> parse_fault_kind(std::string_view text, uint8_t& value) {
    using chip_model::FaultKind;
    for (auto [prefix, kind, base, most] :
         {std::tuple{std::string_view("state="), FaultKind::state, 16, 0xFFul},
          std::tuple{std::string_view("reply-bytes="), FaultKind::reply_bytes, 10, 7ul}}) {
        if (text.substr(0, prefix.size()) == prefix) {
            auto number = parse_number(text.substr(prefix.size()), base);
            if (!number || *number > most) {
                return std::nullopt;
            }
            value = static_cast<uint8_t>(*number);
            return kind;
        }
    }
    constexpr std::pair<std::string_view, FaultKind> kinds[] = {
        {"stall", FaultKind::stall},
        {"nodev", FaultKind::no_device},
        {"timeout", FaultKind::timeout},
        {"short", FaultKind::short_reply},
        {"never-finish", FaultKind::never_finish},
        {"bad-check", FaultKind::bad_check},
    };
    for (auto [name, kind] : kinds) {
        if (text == name) {
            return kind;
        }
    }
    return std::nullopt;
}

// A serial number: 1 to 126 characters (a string descriptor holds at most 126 UTF-16
// characters), written with C escapes (\n, \r, \t, \\, \xHH) so that any byte but NUL can be
// given, a device's hostile string included.
std::optional<std::string> parse_serial(std::string_view text) {
    std::string serial;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\') {
            serial += text[at];
            continue;
        }
        if (++at == text.size()) {
            return std::nullopt;
        }
        switch (text[at]) {
        case 'n':
            serial += '\n';
            break;
        case 'r':
            serial += '\r';
            break;
        case 't':
            serial += '\t';
            break;
        case '\\':
            serial += '\\';
            break;
        case 'x': {
            const auto byte =
                at + 2 < text.size() ? parse_number(text.substr(at + 1, 2), 16) : std::nullopt;
            if (!byte || *byte == 0) {
                return std::nullopt;
            }
            serial += static_cast<char>(*byte);
            at += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    if (serial.empty() || serial.size() > max_serial_length) {
        return std::nullopt;
    }
    return serial;
}

const char* const serial_rule =
    "SERIAL 1 to 126 characters, with C escapes \\n, \\r, \\t, \\\\ and "
    "\\xHH";

// BUS:PATH, then SERIAL when `serial_allowed`, from parts[first...]. The place, or nothing.
std::optional<DevicePlace> parse_place(const std::vector<std::string_view>& parts,
                                       std::size_t first, bool serial_allowed) {
    const std::size_t count = parts.size() - first;
    if (parts.size() < first || count < 2 || count > (serial_allowed ? 3u : 2u)) {
        return std::nullopt;
    }
    auto bus = parse_bus(parts[first]);
    auto ports = parse_hub_ports(parts[first + 1]);
    std::optional<std::string> serial = std::string();
    if (count == 3) {
        serial = parse_serial(parts[first + 2]);
    }
    if (!bus || !ports || !serial) {
        return std::nullopt;
    }
    return DevicePlace{*bus, *ports, 0, 0, *serial};
}

// Sets `field` to the parsed value: an empty text, or `reason` when the value did not parse.
template <typename Field, typename Value>
std::string set_field(Field& field, const std::optional<Value>& parsed, std::string reason) {
    if (!parsed) {
        return reason;
    }
    field = *parsed;
    return {};
}

// Each applies one option's value to the options: an empty text, or the reason it was refused.

const char* const id_rule = "expects a hexadecimal id of at most 16 bits";

std::string apply_vid(Options& options, std::string_view value) {
    return set_field(options.hub.vid, parse_id(value), id_rule);
}

std::string apply_pid(Options& options, std::string_view value) {
    return set_field(options.hub.pid, parse_id(value), id_rule);
}

std::string apply_bus(Options& options, std::string_view value) {
    return set_field(options.hub.bus, parse_bus(value), "expects a bus number 1 to 255");
}

std::string apply_port_path(Options& options, std::string_view value) {
    return set_field(options.hub.ports, parse_hub_ports(value),
                     "expects port numbers 1 to 255 joined by '.', at most 7, or 0 for a root hub");
}

std::string apply_serial(Options& options, std::string_view value) {
    return set_field(options.hub.serial, parse_serial(value),
                     std::string("expects a serial number, ") + serial_rule);
}

std::string apply_extra_device(Options& options, std::string_view value) {
    auto parts = split(value, ':');
    std::optional<unsigned> bus;
    std::optional<std::vector<uint8_t>> ports;
    std::optional<uint16_t> vid;
    std::optional<uint16_t> pid;
    if (parts.size() == 4) {
        bus = parse_bus(parts[0]);
        ports = parse_hub_ports(parts[1]);
        vid = parse_id(parts[2]);
        pid = parse_id(parts[3]);
    }
    if (!bus || !ports || !vid || !pid) {
        return "expects BUS:PATH:VID:PID, for example 1:3.1:abcd:0001";
    }
    options.extra_devices.push_back({*bus, *ports, *vid, *pid, {}});
    return {};
}

std::string apply_version_bytes(Options& options, std::string_view value) {
    auto parts = split(value, ',');
    if (parts.size() != 6) {
        return "expects six byte values b0,b1,b2,b3,b4,b5";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        auto byte = parse_number(parts[i], 10);
        if (!byte || *byte > 255) {
            return "expects six byte values 0 to 255";
        }
        options.chip.version[i] = static_cast<uint8_t>(*byte);
    }
    return {};
}

// Splits "VALUE@BUS:PATH" into VALUE and its target; without '@', every hub. False for a target
// that is no place.
bool take_target(std::string_view& value, HubTarget& target) {
    const auto at = value.rfind('@');
    if (at == std::string_view::npos) {
        return true;
    }
    const auto place = parse_place(split(value.substr(at + 1), ':'), 0, false);
    value = value.substr(0, at);
    if (!place) {
        return false;
    }
    target = {false, place->bus, place->ports};
    return true;
}

std::string apply_busy(Options& options, std::string_view value) {
    HubTarget target;
    const bool placed = take_target(value, target);
    auto count = parse_number(value, 10);
    if (!placed || !count || *count > 1000000) {
        return "expects a count, then @BUS:PATH for one hub";
    }
    if (target.every) {
        options.chip.busy_replies = static_cast<unsigned>(*count);
    } else {
        options.hub_busy.emplace_back(target, static_cast<unsigned>(*count));
    }
    return {};
}

struct RequestCount {
    uint8_t request;
    unsigned nth;
};

// The REQUEST:NTH that ends the value of --fault and --signal (parts 1 and 2 of its three): a
// request code (hex) and a count from 1.
std::optional<RequestCount> request_and_nth(const std::vector<std::string_view>& parts) {
    auto code = parse_number(parts[1], 16);
    auto count = parse_number(parts[2], 10);
    if (!code || *code > 0xFF || !count || *count < 1 || *count > 0xFFFFFFFF) {
        return std::nullopt;
    }
    return RequestCount{static_cast<uint8_t>(*code), static_cast<unsigned>(*count)};
}

std::string apply_fault(Options& options, std::string_view value) {
    HubTarget target_hub;
    const bool placed = take_target(value, target_hub);
    auto parts = split(value, ':');
    std::optional<chip_model::FaultKind> kind;
    std::optional<RequestCount> target;
    uint8_t fault_value = 0;
    if (parts.size() == 3) {
        kind = parse_fault_kind(parts[0], fault_value);
        target = request_and_nth(parts);
    }
    if (!placed || !kind || !target) {
        return "expects KIND:REQUEST:NTH[@BUS:PATH], KIND one of stall, nodev, timeout, short, "
               "never-finish, bad-check, state=HH, reply-bytes=N (0 to 7), REQUEST a "
               "hexadecimal request code, NTH from 1";
    }
    const chip_model::Fault fault{*kind, target->request, target->nth, fault_value};
    if (target_hub.every) {
        options.chip.fault = fault;
    } else {
        options.hub_faults.emplace_back(target_hub, fault);
    }
    return {};
}

// SIG:REQUEST:NTH[:MS] of --signal, and of --signal-parent when `to_parent`.
template <bool to_parent> std::string apply_signal(Options& options, std::string_view value) {
    HubTarget target_hub;
    const bool placed = take_target(value, target_hub);
    auto parts = split(value, ':');
    std::optional<int> signal;
    std::optional<RequestCount> target;
    std::optional<unsigned long> delay_ms = 0;
    if (parts.size() == 3 || parts.size() == 4) {
        signal = parse_signal(parts[0]);
        target = request_and_nth(parts);
    }
    if (parts.size() == 4) {
        delay_ms = parse_number(parts[3], 10);
    }
    if (!placed || !signal || !target || !delay_ms || *delay_ms > max_signal_delay_ms) {
        return "expects SIG:REQUEST:NTH[:MS][@BUS:PATH], SIG a name (INT, TERM, HUP, QUIT, ...) "
               "or number, REQUEST a hexadecimal request code, NTH from 1, MS 0 to 60000";
    }
    options.signals.push_back({*signal, target->request, target->nth,
                               static_cast<unsigned>(*delay_ms), target_hub, to_parent});
    return {};
}

// Seconds, with up to three decimals: the milliseconds, or nothing.
std::optional<uint64_t> parse_seconds(std::string_view text) {
    const auto point = text.find('.');
    auto whole = parse_number(text.substr(0, point), 10);
    uint64_t ms = 0;
    if (point != std::string_view::npos) {
        const std::string_view fraction = text.substr(point + 1);
        auto digits = parse_number(fraction, 10);
        if (!digits || fraction.size() > 3) {
            return std::nullopt;
        }
        ms = *digits;
        for (std::size_t i = fraction.size(); i < 3; ++i) {
            ms *= 10;
        }
    }
    if (!whole || *whole > 1000000) {
        return std::nullopt;
    }
    return *whole * 1000 + ms;
}

// AT:BUS:PATH[:SERIAL] of --plug when `plug`, AT:BUS:PATH of --unplug.
template <bool plug> std::string apply_plug(Options& options, std::string_view value) {
    const auto parts = split(value, ':');
    auto at = parse_seconds(parts[0]);
    auto place = parse_place(parts, 1, plug);
    if (!at || !place) {
        return plug ? std::string("expects AT:BUS:PATH[:SERIAL], AT in seconds (1.5), ") +
                          serial_rule
                    : "expects AT:BUS:PATH, AT in seconds (1.5)";
    }
    options.plugs.push_back({*at, plug, *place});
    return {};
}

std::string apply_hub(Options& options, std::string_view value) {
    auto place = parse_place(split(value, ':'), 0, true);
    if (!place) {
        return std::string("expects BUS:PATH[:SERIAL], for example 1:3.2 (PATH 0: a root hub), ") +
               serial_rule;
    }
    options.more_hubs.push_back(*place);
    return {};
}

// Every option but the switches takes a value; each is given as --name VALUE or --name=VALUE.
// The command follows "--".
enum : int { switch_fast = 256, switch_no_devices, switch_unplugged, switch_version };

struct OptionRule {
    option entry;
    std::string (*apply)(Options&, std::string_view value) = nullptr;
    std::string Options::*path = nullptr; // instead of `apply`: the value names a file or folder
};

const OptionRule option_rules[] = {
    {{"help", no_argument, nullptr, 'h'}, nullptr},
    {{"version", no_argument, nullptr, switch_version}, nullptr},
    {{"fast", no_argument, nullptr, switch_fast}, nullptr},
    {{"no-devices", no_argument, nullptr, switch_no_devices}, nullptr},
    {{"unplugged", no_argument, nullptr, switch_unplugged}, nullptr},
    {{"vid", required_argument, nullptr, 0}, apply_vid},
    {{"pid", required_argument, nullptr, 0}, apply_pid},
    {{"bus", required_argument, nullptr, 0}, apply_bus},
    {{"port-path", required_argument, nullptr, 0}, apply_port_path},
    {{"hub", required_argument, nullptr, 0}, apply_hub},
    {{"serial", required_argument, nullptr, 0}, apply_serial},
    {{"plug", required_argument, nullptr, 0}, apply_plug<true>},
    {{"unplug", required_argument, nullptr, 0}, apply_plug<false>},
    {{"control", required_argument, nullptr, 0}, nullptr, &Options::control_fifo},
    {{"extra-device", required_argument, nullptr, 0}, apply_extra_device},
    {{"version-bytes", required_argument, nullptr, 0}, apply_version_bytes},
    {{"busy", required_argument, nullptr, 0}, apply_busy},
    {{"fault", required_argument, nullptr, 0}, apply_fault},
    {{"signal", required_argument, nullptr, 0}, apply_signal<false>},
    {{"signal-parent", required_argument, nullptr, 0}, apply_signal<true>},
    {{"flash-out", required_argument, nullptr, 0}, nullptr, &Options::flash_out_dir},
    {{"trace", required_argument, nullptr, 0}, nullptr, &Options::trace_file},
    {{"verdict", required_argument, nullptr, 0}, nullptr, &Options::verdict_file},
    {{"usage", required_argument, nullptr, 0}, nullptr, &Options::usage_file},
};

// getopt_long's table: the rules' entries and the closing empty one.
std::vector<option> option_table() {
    std::vector<option> table;
    table.reserve(std::size(option_rules) + 1);
    for (const auto& rule : option_rules) {
        table.push_back(rule.entry);
    }
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// Why getopt_long refused the word `given` (the option's text before any '=').
std::string refusal_of(const std::string& given) {
    for (const auto& rule : option_rules) {
        if (given == std::string("--") + rule.entry.name) {
            return given +
                   (rule.entry.has_arg != no_argument ? " needs a value" : " takes no value");
        }
    }
    return "'" + given + "' is not an option of tovrela-sim (see --help)";
}

// Applies the value of the option at `index` of the rules. 1, or 0 with the reason in `error`.
int apply_value(Options& options, int index, const char* argument, std::string& error) {
    const OptionRule& rule = option_rules[index];
    const std::string name = rule.entry.name;
    const std::string_view value = argument != nullptr ? argument : "";
    // "--trace -- cmd": the separator is no value.
    if (value == "--") {
        error = "--" + name + " needs a value";
        return 0;
    }
    if (rule.path != nullptr) {
        options.*rule.path = value;
    } else if (auto reason = rule.apply(options, value); !reason.empty()) {
        error = "--" + name + " " + reason;
        return 0;
    }
    return 1;
}

// Every @BUS:PATH names a hub with a chip. 1, or 0 with the reason in `error`.
int check_targets(const Options& options, std::string& error) {
    std::vector<const HubTarget*> targets;
    for (const auto& [target, fault] : options.hub_faults) {
        targets.push_back(&target);
    }
    for (const auto& [target, count] : options.hub_busy) {
        targets.push_back(&target);
    }
    for (const auto& rule : options.signals) {
        targets.push_back(&rule.target);
    }
    for (const HubTarget* target : targets) {
        bool known = target->every || target->matches(options.hub);
        for (const auto& hub : options.more_hubs) {
            known = known || target->matches(hub);
        }
        for (const auto& plug : options.plugs) {
            known = known || (plug.plug && target->matches(plug.place));
        }
        if (!known) {
            error = "@" + std::to_string(target->bus) + ":" +
                    (target->ports.empty() ? "0" : port_path_text(target->ports)) +
                    " names no hub with a chip";
            return 0;
        }
    }
    return 1;
}

// After the options: the command, and the ids of --vid and --pid on every hub. 1, or 0 with the
// reason in `error`.
int take_command(int first, int argc, const char* const* argv, Options& options,
                 std::string& error) {
    if (first < argc && std::string_view(argv[first - 1]) != "--") {
        error = "unexpected argument '" + std::string(argv[first]) + "' (the command follows --)";
        return 0;
    }
    for (int i = first; i < argc; ++i) {
        options.command.emplace_back(argv[i]);
    }
    if (options.command.empty()) {
        error = "no command given: tovrela-sim [options] -- COMMAND [ARGS...]";
        return 0;
    }
    // Every hub carries the ids of --vid and --pid, wherever they stand.
    for (auto& hub : options.more_hubs) {
        hub.vid = options.hub.vid;
        hub.pid = options.hub.pid;
    }
    for (auto& plug : options.plugs) {
        plug.place.vid = options.hub.vid;
        plug.place.pid = options.hub.pid;
    }
    return check_targets(options, error);
}

} // namespace

int parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    static const std::vector<option> table = option_table();
    std::vector<char*> words;
    words.reserve(static_cast<std::size_t>(argc) + 1);
    for (int i = 0; i < argc; ++i) {
        words.push_back(const_cast<char*>(argv[i]));
    }
    words.push_back(nullptr);
    opterr = 0;
    optind = 0; // a fresh scan, also when called more than once
    for (;;) {
        int index = -1;
        const int previous = optind == 0 ? 1 : optind;
        const int code = getopt_long(argc, words.data(), "+h", table.data(), &index);
        if (code == -1) {
            break;
        }
        const std::string given =
            previous < argc
                ? std::string(argv[previous]).substr(0, std::string(argv[previous]).find('='))
                : "";
        switch (code) {
        case 'h':
            options.help = true;
            return 1;
        case switch_version:
            options.version = true;
            return 1;
        case switch_fast:
            options.fast = true;
            break;
        case switch_no_devices:
            options.no_devices = true;
            break;
        case switch_unplugged:
            options.unplugged = true;
            break;
        case 0:
            if (apply_value(options, index, optarg, error) != 1) {
                return 0;
            }
            break;
        case ':':
            error = given + " needs a value";
            return 0;
        default:
            error = refusal_of(given);
            return 0;
        }
    }
    return take_command(optind, argc, argv, options, error);
}

bool parse_control_line(const std::string& line, const Options& options, PlugEvent& event) {
    const auto space = line.find(' ');
    const std::string_view word = std::string_view(line).substr(0, space);
    if (space == std::string::npos || (word != "plug" && word != "unplug")) {
        return false;
    }
    event.plug = word == "plug";
    auto place = parse_place(split(std::string_view(line).substr(space + 1), ':'), 0, event.plug);
    if (!place) {
        return false;
    }
    event.place = *place;
    event.place.vid = options.hub.vid;
    event.place.pid = options.hub.pid;
    return true;
}

chip_model::Config chip_config(const Options& options, const DevicePlace& place) {
    chip_model::Config config = options.chip;
    for (const auto& [target, fault] : options.hub_faults) {
        if (target.matches(place)) {
            config.fault = fault;
        }
    }
    for (const auto& [target, count] : options.hub_busy) {
        if (target.matches(place)) {
            config.busy_replies = count;
        }
    }
    return config;
}

std::string usage_text() {
    return "Usage: tovrela-sim [options] -- COMMAND [ARGS...]\n"
           "Runs COMMAND on a simulated USB tree whose hub carries a simulated chip, and exits\n"
           "with COMMAND's exit status (128 + the signal when a signal ended it).\n"
           "\n"
           "  --vid HEX            the hub's vendor id (default 1234)\n"
           "  --pid HEX            the hub's product id (default 5678)\n"
           "  --bus N              the hub's bus number (default 1)\n"
           "  --port-path P        the hub's ports from the root hub, e.g. 2.4 (default); 0 makes\n"
           "                       it a root hub\n"
           "  --serial SERIAL      the hub's serial number string (default: none)\n"
           "  --hub BUS:PATH[:SERIAL]\n"
           "                       one more hub with a chip of its own, the ids of --vid and\n"
           "                       --pid and the serial number SERIAL if given (repeatable)\n"
           "  --plug AT:BUS:PATH[:SERIAL]\n"
           "                       plug a hub with a fresh chip in AT seconds after COMMAND\n"
           "                       started (repeatable)\n"
           "  --unplug AT:BUS:PATH unplug the hub at BUS:PATH AT seconds after COMMAND started\n"
           "  --control FIFO       read lines 'plug BUS:PATH[:SERIAL]', 'unplug BUS:PATH' from\n"
           "                       FIFO (made when missing) while COMMAND runs\n"
           "  --extra-device BUS:PATH:VID:PID\n"
           "                       one more device (repeatable); PATH 0 sets a root hub's ids;\n"
           "                       a device with the hub's ids answers every request with a stall\n"
           "  --version-bytes b0,b1,b2,b3,b4,b5\n"
           "                       the chip's six version bytes, decimal (default 2,13,15,0,0,4)\n"
           "  --busy N[@BUS:PATH]  'not finished' replies before 'finished' for every command\n"
           "  --fault KIND:REQUEST:NTH[@BUS:PATH]\n"
           "                       the NTH request with code REQUEST (hex) fails; KIND is stall,\n"
           "                       nodev, timeout, short, never-finish; for a status read also\n"
           "                       bad-check, state=HH (hex state byte), reply-bytes=N (0 to 7)\n"
           "  --signal SIG:REQUEST:NTH[:MS][@BUS:PATH]\n"
           "                       send SIG to the process that made the NTH request with code\n"
           "                       REQUEST (hex) once the chip has received it, or MS ms (real\n"
           "                       time) later (repeatable)\n"
           "  --signal-parent SIG:REQUEST:NTH[:MS][@BUS:PATH]\n"
           "                       the same to that process's parent, a supervisor such as\n"
           "                       timeout (SIGALRM: its time is up) (repeatable)\n"
           "  --flash-out DIR      write what the chip received to DIR/image0.bin, DIR/image1.bin\n"
           "                       (with several hubs DIR/BUS-PATH/image0.bin, ...)\n"
           "  --trace FILE         write every control transfer, pause and violation to FILE\n"
           "  --verdict FILE       write the chip's violations to FILE, one a line (empty: none)\n"
           "  --usage FILE         write COMMAND's CPU time (user, sys), its peak memory and\n"
           "                       the transfers answered to FILE\n"
           "  --fast               run COMMAND's pauses on a virtual clock (no real waiting)\n"
           "  --no-devices         simulate a machine without any USB device\n"
           "  --unplugged          the hub is listed, but its device node is gone (open fails)\n"
           "  --help               show this text\n"
           "  --version            show the version of tovrela-sim\n"
           "@BUS:PATH: the option applies to that hub alone (without it: to every hub).\n"
           "Options take their value as --name VALUE or --name=VALUE. The exit status is 125\n"
           "when tovrela-sim itself fails and 127 when COMMAND cannot be run.\n";
}

} // namespace sim
