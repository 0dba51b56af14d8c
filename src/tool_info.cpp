// "--help" and "--version": answered before the banner, without the profile and without USB.
#include "tool_info.h"

#include "message_output.h"
#include "settings.h"
#include "tool_version.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view usage_head =
    "Usage: tovrela-update [NAME=VALUE]...\n"
    "       tovrela-update --help | --version\n"
    "\n"
    "Writes the flash of a Tovrela chip behind a USB hub's I2C bridge from the two\n"
    "images named in \"update.ini\" in the working directory, or reads a version,\n"
    "checks for an update or runs a self test. Both image files must exist, otherwise\n"
    "the options are not used.\n"
    "\n"
    "Every argument is one of these options, NAME=VALUE, the name in any case; any\n"
    "other argument is refused (exit status 2) before anything is opened. An option\n"
    "overrides the profile key of the same setting.\n";

constexpr std::string_view usage_keys =
    "Without a mode option the tool runs the full update. -path alone also matches\n"
    "the hubs behind the one at that path; the device table shows bus and path.\n"
    "\n"
    "Profile keys, section [Config] of \"update.ini\", KEY=VALUE at the line start,\n"
    "numbers hexadecimal, lines of at most 199 characters:\n";

constexpr std::string_view usage_tail =
    "\n"
    "Exit status:\n"
    "  0    success; check: an update is available; --help, --version\n"
    "  1    a full update, version read or image read failed, or the version read\n"
    "       or image read could not write to standard output; --help or --version\n"
    "       could not write to standard output\n"
    "  2    a refused argument or profile entry; nothing was opened\n"
    "  7    check: the chip is up to date\n"
    "  250  the hub is in use by another tovrela-update process, or its lock file or\n"
    "       device node cannot be locked\n"
    "  251  no device matched the ids, path, bus and serial number\n"
    "  252  no device list, or the hub vanished before it was opened\n"
    "  253  no permission to open the hub (see the udev rule template)\n"
    "  254  check: the version of Image 0 was not read\n"
    "  255  check: the chip's version was not read; self test failed\n"
    "  128+N  stopped by signal N (129 SIGHUP, 130 SIGINT, 131 SIGQUIT, 143 SIGTERM,\n"
    "         also SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,\n"
    "         SIGIO, SIGSTKFLT, SIGRTMIN to SIGRTMAX) after the current flash block:\n"
    "         the flash is incomplete, run the update again without unplugging\n"
    "         the hub\n"
    "  other  a libusb error code modulo 256\n"
    "\n"
    "Example profile:     " TOVRELA_DATA_DIR "/update.ini\n"
    "udev rule template:  " TOVRELA_DATA_DIR "/70-tovrela-update.rules\n"
    "See tovrela-update(1).\n"
    "\n"
    "Report bugs to: " TOVRELA_BUG_ADDRESS "\n";

constexpr std::string_view version_tail =
    "Copyright (C) 2026 The tovrela-update developers\n"
    "License Expat (MIT): <https://opensource.org/license/mit>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

bool put(std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

// "  NAME=BASE" in a column of 21, then the description.
bool put_row(const char* name, SettingBase base, const char* text, const char* suffix) {
    std::array<char, 64> head{};
    std::snprintf(head.data(), head.size(), "%s=%s", name, setting_base_name(base));
    return std::printf("  %-20s %s%s\n", head.data(), text, suffix) > 0;
}

// The help: the fixed text around the options and keys of the settings table.
bool put_usage() {
    bool written = put(usage_head);
    for (const SettingInfo& info : setting_table()) {
        if (info.option != nullptr) {
            written = put_row(info.option, info.base, info.help, "") && written;
        }
    }
    written = put(usage_keys) && written;
    for (const SettingInfo& info : setting_table()) {
        if (info.key == nullptr) {
            continue;
        }
        std::array<char, 64> as{};
        if (info.option != nullptr) {
            std::snprintf(as.data(), as.size(), "as %s", info.option);
        }
        std::array<char, 24> suffix{};
        if (info.base == SettingBase::image) {
            std::snprintf(suffix.data(), suffix.size(), " (required)");
        } else if (info.base == SettingBase::text) {
            std::snprintf(suffix.data(), suffix.size(), " (default: none)");
        } else {
            std::snprintf(suffix.data(), suffix.size(), " (default %u)",
                          static_cast<unsigned>(info.profile_default));
        }
        written = put_row(info.key, info.base, info.option != nullptr ? as.data() : info.help,
                          suffix.data()) &&
                  written;
    }
    return put(usage_tail) && written;
}

// 0 when the whole text reached standard output, 1 when it could not be written (a full disk,
// a closed pipe): a caller that asked for the text must not take silence for an answer.
int finish(bool written) {
    const bool flushed = std::fflush(stdout) == 0;
    return written && flushed && std::ferror(stdout) == 0 ? 0 : 1;
}

} // namespace

int print_tool_info(int argc, char** argv) {
    if (argv == nullptr) {
        return -1;
    }
    // The GNU rule: either word anywhere answers alone; the first of them counts.
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) {
            continue;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            return finish(put_usage());
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            return finish(put("tovrela-update " TOVRELA_UPDATE_VERSION "\n") && put(version_tail));
        }
    }
    return -1;
}

void print_access_hint() {
    print_problem("%s", "tovrela-update: no access to the hub: run as root, or install the udev "
                        "rule template " TOVRELA_DATA_DIR "/70-tovrela-update.rules (README: "
                        "\"Device access without root\")\n");
}
