// Loading the run settings: the "Config" section of "update.ini" first, then the command line.
#include "settings.h"

#include "IniUpdate.h"
#include "file_access.h"
#include "message_output.h"
#include "option_scanner.h"
#include "result_codes.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <span>

RunSettings gSettings;

namespace {

constexpr const char* profile_file = "update.ini";
constexpr const char* profile_section = "Config";

// Longest port path that the path option fills, and how far into its value the digits are read.
constexpr std::size_t path_window = 13;

struct ImageKey {
    const char* key;
    const char* missing_message;
    const char* open_fail_message;
    const char* found_format;
};

constexpr ImageKey image0_key{"TovrelaBin0", "TovrelaBin0_Error\n",
                              "Protection : Tovrela_Bin0_Open_Fail.\n",
                              "    SPI-IMAGE: %s Check OK\n"};
constexpr ImageKey image1_key{"TovrelaBin1", "TovrelaBin1_Error\n",
                              "Protection : Tovrela_Bin1_Open_Fail.\n",
                              "    ISP_DRIVER: %s Check OK\n"};

uint32_t read_hex_key(const char* key, uint16_t default_value) {
    return read_profile_hex(profile_section, key, default_value, profile_file);
}

// Reads one image path and makes sure the file opens. False ends the load (message printed).
bool read_image_path(const ImageKey& image, std::span<char, 256> path) {
    if (read_profile_stringS(profile_section, image.key, path.data(),
                             static_cast<int32_t>(path.size() - 1), "NA",
                             profile_file) != rc::done) {
        print_message("%s", image.missing_message);
        return false;
    }
    // The path ends at its first line-end character.
    std::replace_if(
        path.begin(), path.end(), [](char c) { return c == '\n' || c == '\r'; }, '\0');

    File file = open_image_file(path.data());
    if (!file) {
        print_message("%s", image.open_fail_message);
        return false;
    }
    print_message(image.found_format, path.data());
    return true;
}

void print_profile_settings() {
    const RunSettings& s = gSettings;
    print_message("    ----- Setting From Setting.ini -----\n");
    print_message("    LogFile=%X\n", s.gLogFile);
    print_message("    DeviceNum=%X\n", s.gDeviceNum);
    print_message("    ReadVerOnly=%X\n", s.gReadVerOnly);
    print_message("    ReadBinOnly=%X\n", s.gReadBinOnly);
    print_message("    CheckUpdateOnly=%X\n", s.gCheckUpdateOnly);
    print_message("    BackUpOnly=%X\n", s.gBackUpOnly);
    print_message("    I2CTestOnly=%X\n", s.gI2CTestOnly);
    print_message("    TovrelaBin0=%s\n", s.gTovrelaBin0.data());
    print_message("    TovrelaBin1=%s\n", s.gTovrelaBin1.data());
    print_message("    ------------------------------------\n");
}

void print_command_line_settings(const char* path_text) {
    const RunSettings& s = gSettings;
    print_message("    ----- Setting From command.sh  -----\n");
    print_message("    Hub1VID=%X\n", s.gHub1VID);
    print_message("    Hub1PID=%X\n", s.gHub1PID);
    print_message("    Hub1Bin=%s\n", s.gHub1Bin.data());
    print_message("    Bus=%X\n", s.gBus);
    print_message("    Path=%s\n", path_text);
    print_message("    gHubPDShareSPI=%d\n", static_cast<int>(s.gHubPDShareSPI));
    print_message("    gReadVerOnly=%d\n", static_cast<int>(s.gReadVerOnly));
    print_message("    gReadBinOnly=%d\n", static_cast<int>(s.gReadBinOnly));
    print_message("    gCheckUpdateOnly=%d\n", static_cast<int>(s.gCheckUpdateOnly));
    print_message("    gBackUpOnly=%d\n", static_cast<int>(s.gBackUpOnly));
    print_message("    ------------------------------------\n");
}

// Port digits 1 to 9 of the path text, '.' and '_' between them; anything else ends the path.
void store_target_path(const char* path_text) {
    std::size_t entry = 0;
    for (std::size_t pos = 0; pos < path_window; ++pos) {
        const char c = path_text[pos];
        if (c == '.' || c == '_') {
            continue;
        }
        if (c < '1' || c > '9') {
            return;
        }
        gSettings.gTargetPath[entry++] = static_cast<uint32_t>(c - '0');
        if (entry == gSettings.gTargetPath.size()) {
            return;
        }
    }
}

} // namespace

int load_settings(int argc, char** argv) {
    std::array<char, 64> path_text{};
    gSettings.gTovrelaBin0.fill('\0');
    gSettings.gTovrelaBin1.fill('\0');

    gSettings.gDbgMsg = read_hex_key("DbgMsg", 0);
    gSettings.gLogFile = read_hex_key("LogFile", 0);
    gSettings.gDeviceNum = read_hex_key("DeviceNum", 1);
    gSettings.gReadVerOnly = read_hex_key("ReadVerOnly", 0);
    gSettings.gReadBinOnly = read_hex_key("ReadBinOnly", 0);
    gSettings.gCheckUpdateOnly = read_hex_key("CheckUpdateOnly", 0);
    gSettings.gBackUpOnly = read_hex_key("BackUpOnly", 0);
    gSettings.gI2CTestOnly = read_hex_key("I2CTestOnly", 0);

    if (!read_image_path(image0_key, gSettings.gTovrelaBin0) ||
        !read_image_path(image1_key, gSettings.gTovrelaBin1)) {
        return rc::ok;
    }

    if (gSettings.gDbgMsg != 0) {
        print_profile_settings();
    }

    if (argc <= 1) {
        return rc::missing;
    }
    std::unique_ptr<char[]> command_line = build_command_line_text(argc, argv);
    if (!command_line) {
        return rc::no_memory;
    }
    const char* text = command_line.get();

    get_option_number(text, "-selftest", 10, &gSettings.gSelfTest);
    get_option_number(text, "-vid", 16, &gSettings.gHub1VID);
    get_option_number(text, "-pid", 16, &gSettings.gHub1PID);
    get_option_value(text, "-hub1bin", gSettings.gHub1Bin.data(), gSettings.gHub1Bin.size());
    get_option_number(text, "-hubpdsharespi", 16, &gSettings.gHubPDShareSPI);
    get_option_number(text, "-readveronly", 16, &gSettings.gReadVerOnly);
    get_option_number(text, "-readbinonly", 16, &gSettings.gReadBinOnly);
    get_option_number(text, "-checkupdateonly", 16, &gSettings.gCheckUpdateOnly);
    get_option_number(text, "-backuponly", 16, &gSettings.gBackUpOnly);
    get_option_number(text, "-bus", 16, &gSettings.gBus);
    if (get_option_value(text, "-path", path_text.data(), path_text.size()) == rc::ok) {
        store_target_path(path_text.data());
    }
    command_line.reset();

    if (gSettings.gDbgMsg != 0) {
        print_command_line_settings(path_text.data());
    }
    return rc::ok;
}
