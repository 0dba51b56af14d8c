// "--help" and "--version": answered before the banner, without the profile and without USB.
#include "tool_info.h"

#include "tool_version.h"

#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view usage_text =
    "Usage: tovrela-update [NAME=VALUE]...\n"
    "       tovrela-update --help | --version\n"
    "\n"
    "Writes the flash of a Tovrela chip behind a USB hub's I2C bridge from the two\n"
    "images named in \"update.ini\" in the working directory, or reads a version,\n"
    "checks for an update or runs a self test. Both image files must exist, otherwise\n"
    "the command line is not read at all.\n"
    "\n"
    "Options, found anywhere in the arguments without regard to case; the value\n"
    "follows the next '='. Numbers are hexadecimal, except for -selftest. An option\n"
    "overrides the profile key of the same setting.\n"
    "  -vid=HEX              vendor id of the hub\n"
    "  -pid=HEX              product id of the hub\n"
    "  -bus=HEX              bus of the hub (0: any bus)\n"
    "  -path=P.P.P           port path of the hub, ports 1 to 9\n"
    "  -readveronly=HEX      non-zero: read the chip's version\n"
    "  -readbinonly=HEX      non-zero: read Image 0's version, check both images\n"
    "  -checkupdateonly=HEX  non-zero: exit 0 when an update is available, 7 when not\n"
    "  -selftest=DEC         non-zero: run the self test, without USB\n"
    "  -backuponly=HEX, -hubpdsharespi=HEX, -hub1bin=TEXT  stored and printed only\n"
    "Without a mode option the tool runs the full update.\n"
    "\n"
    "Profile keys, section [Config] of \"update.ini\", KEY=VALUE at the line start,\n"
    "numbers hexadecimal:\n"
    "  DbgMsg=HEX            non-zero: print the settings read (default 0)\n"
    "  LogFile=HEX           non-zero: append the messages to \"debug.log\" (default 0)\n"
    "  DeviceNum=HEX         printed only (default 1)\n"
    "  ReadVerOnly=HEX       as -readveronly (default 0)\n"
    "  ReadBinOnly=HEX       as -readbinonly (default 0)\n"
    "  CheckUpdateOnly=HEX   as -checkupdateonly (default 0)\n"
    "  BackUpOnly=HEX        printed only (default 0)\n"
    "  I2CTestOnly=HEX       printed only (default 0)\n"
    "  TovrelaBin0=PATH      Image 0, the SPI image, 512 KiB to 2 MiB (required)\n"
    "  TovrelaBin1=PATH      Image 1, the ISP driver, at most 512 KiB (required)\n"
    "\n"
    "Exit status:\n"
    "  0    success; check: an update is available; --help, --version\n"
    "  1    a full update, version read or image read failed; --help or --version\n"
    "       could not write to standard output\n"
    "  7    check: the chip is up to date\n"
    "  250  the hub is in use by another tovrela-update process\n"
    "  251  no device matched the ids, path and bus\n"
    "  252  no device list, or the hub vanished before it was opened\n"
    "  253  no permission to open the hub (see the udev rule template)\n"
    "  254  check: the version of Image 0 was not read\n"
    "  255  check: the chip's version was not read; self test failed\n"
    "  128+N  stopped by signal N (129 SIGHUP, 130 SIGINT, 131 SIGQUIT, 143 SIGTERM)\n"
    "         after the current flash block: the flash is incomplete, run the update\n"
    "         again without unplugging the hub\n"
    "  other  a libusb error code modulo 256\n"
    "\n"
    "Example profile:     " TOVRELA_DATA_DIR "/update.ini\n"
    "udev rule template:  " TOVRELA_DATA_DIR "/70-tovrela-update.rules\n"
    "See tovrela-update(1).\n";

// 0 when the whole text reached standard output, 1 when it could not be written (a full disk,
// a closed pipe): a caller that asked for the text must not take silence for an answer.
int print_text(std::string_view text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    const bool flushed = std::fflush(stdout) == 0;
    return written && flushed && std::ferror(stdout) == 0 ? 0 : 1;
}

} // namespace

int print_tool_info(int argc, char** argv) {
    if (argc != 2 || argv == nullptr || argv[1] == nullptr) {
        return -1;
    }
    const std::string_view argument = argv[1];
    if (argument == "--help") {
        return print_text(usage_text);
    }
    if (argument == "--version") {
        return print_text("tovrela-update " TOVRELA_UPDATE_VERSION "\n");
    }
    return -1;
}

void print_access_hint() {
    std::fputs("tovrela-update: no access to the hub: run as root, or install the udev rule "
               "template " TOVRELA_DATA_DIR "/70-tovrela-update.rules (README: \"Device access "
               "without root\")\n",
               stderr);
}
