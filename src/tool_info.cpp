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
    "Writes the flash of a Tovrela chip behind a USB hub's I2C bridge from the two images\n"
    "named in \"update.ini\" (section Config, keys TovrelaBin0 and TovrelaBin1) in the\n"
    "working directory, or reads a version, checks for an update or runs a self test.\n"
    "Both image files must exist, otherwise the command line is not read at all.\n"
    "\n"
    "Options, found anywhere in the arguments without regard to case; the value follows\n"
    "the next '='. Numbers are hexadecimal, except for -selftest.\n"
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
    "Exit status: 0 success or update available, 1 operation failed, 7 up to date,\n"
    "251 hub not found, other values negative error codes modulo 256.\n"
    "See tovrela-update(1).\n";

int print_text(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
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
