// The process-wide run settings and their loading from "update.ini" and the command line.
#pragma once

#include <array>
#include <cstdint>

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
};

// The one record of the process. Written only by load_settings.
extern RunSettings gSettings;

// True when the detail lines of the chip and image operations are on (low 8 bits of DbgMsg).
[[nodiscard]] inline bool verbose_detail() {
    return (gSettings.gDbgMsg & 0xFFu) != 0;
}

// Fills gSettings from "update.ini" in the working directory, then from the arguments.
// Returns rc::missing without arguments after the program name, rc::no_memory without memory for
// the command-line text, rc::ok otherwise (the early stops included).
[[nodiscard]] int load_settings(int argc, char** argv);
