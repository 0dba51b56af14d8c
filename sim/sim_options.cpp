#include "sim_options.h"

#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

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
std::optional<std::vector<unsigned>> parse_port_path(std::string_view text) {
    if (text == "0" || text == "root") {
        return std::vector<unsigned>{};
    }
    std::vector<unsigned> ports;
    for (auto part : split(text, '.')) {
        auto port = parse_number(part, 10);
        if (!port || *port < 1 || *port > 255) {
            return std::nullopt;
        }
        ports.push_back(static_cast<unsigned>(*port));
    }
    if (ports.size() > 7) {
        return std::nullopt;
    }
    return ports;
}

std::optional<unsigned> parse_bus(std::string_view text) {
    auto bus = parse_number(text, 10);
    if (!bus || *bus < 1 || *bus > 255) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*bus);
}

std::optional<chip_model::FaultKind> parse_fault_kind(std::string_view text) {
    using chip_model::FaultKind;
    constexpr std::pair<std::string_view, FaultKind> kinds[] = {
        {"stall", FaultKind::stall},
        {"nodev", FaultKind::no_device},
        {"timeout", FaultKind::timeout},
        {"short", FaultKind::short_reply},
        {"never-finish", FaultKind::never_finish},
    };
    for (auto [name, kind] : kinds) {
        if (text == name) {
            return kind;
        }
    }
    return std::nullopt;
}

// Applies one option with its value. Returns an empty text or the reason it was refused.
std::string apply(Options& options, std::string_view name, std::string_view value) {
    if (name == "vid" || name == "pid") {
        auto id = parse_id(value);
        if (!id) {
            return "expects a hexadecimal id of at most 16 bits";
        }
        (name == "vid" ? options.hub.vid : options.hub.pid) = *id;
    } else if (name == "bus") {
        auto bus = parse_bus(value);
        if (!bus) {
            return "expects a bus number 1 to 255";
        }
        options.hub.bus = *bus;
    } else if (name == "port-path") {
        auto ports = parse_port_path(value);
        if (!ports) {
            return "expects port numbers 1 to 255 joined by '.', at most 7, or 0 for a root hub";
        }
        options.hub.ports = *ports;
    } else if (name == "extra-device") {
        auto parts = split(value, ':');
        std::optional<unsigned> bus;
        std::optional<std::vector<unsigned>> ports;
        std::optional<uint16_t> vid;
        std::optional<uint16_t> pid;
        if (parts.size() == 4) {
            bus = parse_bus(parts[0]);
            ports = parse_port_path(parts[1]);
            vid = parse_id(parts[2]);
            pid = parse_id(parts[3]);
        }
        if (!bus || !ports || !vid || !pid) {
            return "expects BUS:PATH:VID:PID, for example 1:3.1:abcd:0001";
        }
        options.extra_devices.push_back({*bus, *ports, *vid, *pid});
    } else if (name == "version-bytes") {
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
    } else if (name == "busy") {
        auto count = parse_number(value, 10);
        if (!count || *count > 1000000) {
            return "expects a count";
        }
        options.chip.busy_replies = static_cast<unsigned>(*count);
    } else if (name == "fault") {
        auto parts = split(value, ':');
        std::optional<chip_model::FaultKind> kind;
        std::optional<unsigned long> request;
        std::optional<unsigned long> nth;
        if (parts.size() == 3) {
            kind = parse_fault_kind(parts[0]);
            request = parse_number(parts[1], 16);
            nth = parse_number(parts[2], 10);
        }
        if (!kind || !request || *request > 0xFF || !nth || *nth < 1 || *nth > 0xFFFFFFFF) {
            return "expects KIND:REQUEST:NTH, KIND one of stall, nodev, timeout, short, "
                   "never-finish, REQUEST a hexadecimal request code, NTH from 1";
        }
        options.chip.fault = {*kind, static_cast<uint8_t>(*request), static_cast<unsigned>(*nth)};
    } else if (name == "flash-out") {
        options.flash_out_dir = value;
    } else if (name == "trace") {
        options.trace_file = value;
    } else if (name == "verdict") {
        options.verdict_file = value;
    } else if (name == "usage") {
        options.usage_file = value;
    } else {
        return "is not an option of tovrela-sim (see --help)";
    }
    return {};
}

} // namespace

int parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return 1;
        }
        if (arg == "--fast" || arg == "--no-devices" || arg == "--unplugged") {
            (arg == "--fast"         ? options.fast
             : arg == "--no-devices" ? options.no_devices
                                     : options.unplugged) = true;
            continue;
        }
        if (arg.size() < 3 || arg.substr(0, 2) != "--") {
            error = "unexpected argument '" + std::string(arg) + "' (the command follows --)";
            return 0;
        }
        std::string_view name = arg.substr(2);
        std::string_view value;
        if (auto equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "--" + std::string(name) + " needs a value";
            return 0;
        }
        if (auto reason = apply(options, name, value); !reason.empty()) {
            error = "--" + std::string(name) + " " + reason;
            return 0;
        }
    }
    for (; i < argc; ++i) {
        options.command.emplace_back(argv[i]);
    }
    if (options.command.empty()) {
        error = "no command given: tovrela-sim [options] -- COMMAND [ARGS...]";
        return 0;
    }
    return 1;
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
           "  --extra-device BUS:PATH:VID:PID\n"
           "                       one more device (repeatable); PATH 0 sets a root hub's ids;\n"
           "                       a device with the hub's ids answers every request with a stall\n"
           "  --version-bytes b0,b1,b2,b3,b4,b5\n"
           "                       the chip's six version bytes, decimal (default 2,13,15,0,0,4)\n"
           "  --busy N             'not finished' replies before 'finished' for every command\n"
           "  --fault KIND:REQUEST:NTH\n"
           "                       the NTH request with code REQUEST (hex) fails; KIND is stall,\n"
           "                       nodev, timeout, short or never-finish\n"
           "  --flash-out DIR      write what the chip received to DIR/image0.bin, DIR/image1.bin\n"
           "  --trace FILE         write every control transfer, pause and violation to FILE\n"
           "  --verdict FILE       write the chip's violations to FILE, one a line (empty: none)\n"
           "  --usage FILE         write COMMAND's CPU time (user, sys) and peak memory to FILE\n"
           "  --fast               run COMMAND's pauses on a virtual clock (no real waiting)\n"
           "  --no-devices         simulate a machine without any USB device\n"
           "  --unplugged          the hub is listed, but its device node is gone (open fails)\n"
           "  --help               show this text\n"
           "Options take their value as --name VALUE or --name=VALUE. The exit status is 125\n"
           "when tovrela-sim itself fails and 127 when COMMAND cannot be run.\n";
}

std::string port_path_text(const std::vector<unsigned>& ports) {
    std::string text;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        text += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    }
    return text;
}

} // namespace sim
