// The process-wide run settings, the one table of the settings, and their loading from
// "update.ini" and the command line.
#pragma once

#include <array>
#include <cstdint>
#include <span>

struct RunSettings {
    uint32_t gDbgMsg = 0;
    uint32_t gLogFile = 0;
    uint32_t gHub1VID = 0;
    uint32_t gHub1PID = 0;
    uint32_t gHubPDShareSPI = 0;
    uint32_t gReadVerOnly = 0;
    uint32_t gReadBinOnly = 0;
    uint32_t gBackUpOnly = 0;
    uint32_t gSelfTest = 0;
    uint32_t gCheckUpdateOnly = 0;
    uint32_t gI2CTestOnly = 0;
    std::array<char, 512> gHub1Bin{};
    std::array<char, 256> gTovrelaBin0{};
    std::array<char, 256> gTovrelaBin1{};
    uint32_t gBus = 0;
    std::array<uint32_t, 7> gTargetPath{};
    uint32_t gDeviceNum = 1;
    // Non-zero: the hub's port path must equal gTargetPath, not only begin with it.
    uint32_t gExactPath = 0;
    // The value of "-path" as written (empty when not given), for the printout.
    std::array<char, 64> gPathText{};
    // The hub's USB serial number string; empty: any hub.
    std::array<char, 512> gSerial{};
    // The file descriptor of the event channel (tool_events.h); 0: none.
    uint32_t gEventFd = 0;
};

// The one record of the process. Written only by load_settings.
extern RunSettings gSettings;

// How a setting's value is written: a hexadecimal or decimal number, a text without blanks, a
// port path ("2.4"), or the path of an image file.
enum class SettingBase : uint8_t { hex, dec, text, path, image };

// How a printout line shows the value after its label: "%X", "%d", "%u" or "%s"; hex_if_set
// prints the line only when the value is not zero.
enum class PrintForm : uint8_t { none, hex, signed_dec, dec, text, hex_if_set };

// Where a setting is kept in the record: a number, or a text.
struct SettingField {
    uint32_t RunSettings::*number = nullptr;
    std::span<char> (*text)(RunSettings&) = nullptr;
};

// One setting: where it comes from, how it is written, how it is shown and where it is kept. The
// table's order is the order of both printouts and of the help.
struct SettingInfo {
    const char* key;    // in section [Config] of "update.ini", or null
    const char* option; // on the command line, or null
    SettingBase base;
    uint16_t profile_default;  // the value when the profile lacks the key
    const char* example;       // a value for the usage error and the help
    const char* profile_label; // label in the printout of the profile, or null
    const char* command_label; // label in the printout of the command line, or null
    PrintForm command_form;    // how the printout of the command line shows the value
    const char* help;          // what the setting does, for the help
    SettingField field{};
};

// Every setting, in the order of the printouts.
[[nodiscard]] std::span<const SettingInfo> setting_table();

// The name of a base in the help and the usage errors: HEX, DEC, TEXT, P.P.P or PATH.
[[nodiscard]] const char* setting_base_name(SettingBase base);

// True when the detail lines of the chip and image operations are on (low 8 bits of DbgMsg).
[[nodiscard]] inline bool verbose_detail() {
    return (gSettings.gDbgMsg & 0xFFu) != 0;
}

// Every argument after the program name must be one of the table's options, written NAME=VALUE
// (the name in any case) with a value that reads whole in the option's base. rc::ok when they
// all do; otherwise rc::refused after one line on standard error naming the first word refused
// and the form expected.
[[nodiscard]] int check_command_line(int argc, char** argv);

// Fills gSettings from "update.ini" in the working directory, read once, then from the arguments.
// Returns rc::missing without arguments after the program name, rc::refused after its line on
// standard error when a profile entry or an argument is refused, rc::ok otherwise (the early
// stops at a missing image included).
[[nodiscard]] int load_settings(int argc, char** argv);
