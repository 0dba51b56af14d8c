// load_settings on real "update.ini" files in a temporary working directory.
#include "settings.h"
#include "test_files.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Path = std::array<uint32_t, 7>;

constexpr const char* check_ok_lines = "    SPI-IMAGE: a.bin Check OK\n"
                                       "    ISP_DRIVER: b.bin Check OK\n";

std::string profile_printout(const std::string& values) {
    return "    ----- Setting From Setting.ini -----\n" + values +
           "    TovrelaBin0=a.bin\n    TovrelaBin1=b.bin\n"
           "    ------------------------------------\n";
}

class LoadSettings : public testing::Test {
  protected:
    void SetUp() override {
        gSettings = RunSettings{};
        dir.enter();
        dir.write("a.bin", std::string("image 0"));
        dir.write("b.bin", std::string("image 1"));
    }
    void TearDown() override { gSettings = RunSettings{}; }

    // The "Config" section with these lines, then both image paths.
    void write_profile(const std::string& lines) {
        dir.write("update.ini", "[Config]\n" + lines + "TovrelaBin0=a.bin\nTovrelaBin1=b.bin\n");
    }

    // Runs load_settings with the program name and `args`; keeps what it printed in `out`.
    int load(std::vector<std::string> args) {
        args.insert(args.begin(), "tovrela-update");
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        const int result = load_settings(static_cast<int>(args.size()), argv.data());
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    test_files::TempDir dir;
    std::string out;
};

TEST_F(LoadSettings, BothPrintoutsWithDbgMsg) {
    write_profile("DbgMsg=1\nLogFile=0\nDeviceNum=10\nReadVerOnly=1\nReadBinOnly=a\n"
                  "CheckUpdateOnly=0\nBackUpOnly=2\nI2CTestOnly=12345\n");
    EXPECT_EQ(load({"-VID=1a2b", "-pid=03C4", "-hub1bin=FW.BIN", "-bus=1f", "-path=2.4",
                    "-hubpdsharespi=10", "-readveronly=0", "-readbinonly=1", "-backuponly=3",
                    "-checkupdateonly=b"}),
              0);
    EXPECT_EQ(out, check_ok_lines +
                       profile_printout("    LogFile=0\n    DeviceNum=10\n    ReadVerOnly=1\n"
                                        "    ReadBinOnly=A\n    CheckUpdateOnly=0\n"
                                        "    BackUpOnly=2\n    I2CTestOnly=2345\n") +
                       "    ----- Setting From command.sh  -----\n"
                       "    Hub1VID=1A2B\n    Hub1PID=3C4\n    Hub1Bin=FW.BIN\n    Bus=1F\n"
                       "    Path=2.4\n    gHubPDShareSPI=16\n    gReadVerOnly=0\n"
                       "    gReadBinOnly=1\n    gCheckUpdateOnly=11\n    gBackUpOnly=3\n"
                       "    ------------------------------------\n");
    EXPECT_EQ(gSettings.gDeviceNum, 16u);
    EXPECT_EQ(gSettings.gTargetPath, (Path{2, 4, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(verbose_detail());
}

TEST_F(LoadSettings, WithoutNumbersOrDbgMsgOnlyTheCheckLines) {
    write_profile("");
    EXPECT_EQ(load({"-vid=1"}), 0);
    EXPECT_EQ(out, check_ok_lines);
    RunSettings expected;
    expected.gTovrelaBin0 = gSettings.gTovrelaBin0;
    expected.gTovrelaBin1 = gSettings.gTovrelaBin1;
    expected.gHub1VID = 1;
    EXPECT_EQ(std::memcmp(&gSettings, &expected, sizeof expected), 0);
}

TEST_F(LoadSettings, DbgMsg100PrintsBothPrintoutsButNoDetailLines) {
    write_profile("DbgMsg=100\n");
    EXPECT_EQ(load({"-selftest=12"}), 0);
    EXPECT_FALSE(verbose_detail());
    EXPECT_NE(out.find("    ----- Setting From Setting.ini -----\n"), std::string::npos);
    EXPECT_NE(out.find("    ----- Setting From command.sh  -----\n    Hub1VID=0\n"),
              std::string::npos);
    EXPECT_NE(out.find("    Path=\n"), std::string::npos); // no -path given: empty
    EXPECT_EQ(gSettings.gSelfTest, 12u);                   // decimal
}

TEST_F(LoadSettings, NoArgumentsStopsAfterTheFirstPrintout) {
    // Lines end in CR LF: the image paths end at their first line-end character.
    dir.write("update.ini", std::string("[Config]\r\nDbgMsg=1\r\nDeviceNum=2\r\n"
                                        "TovrelaBin0=a.bin\r\nTovrelaBin1=b.bin\r\n"));
    EXPECT_EQ(load({}), -2);
    EXPECT_EQ(out, check_ok_lines + profile_printout("    LogFile=0\n    DeviceNum=2\n"
                                                     "    ReadVerOnly=0\n    ReadBinOnly=0\n"
                                                     "    CheckUpdateOnly=0\n    BackUpOnly=0\n"
                                                     "    I2CTestOnly=0\n"));
    EXPECT_STREQ(gSettings.gTovrelaBin0.data(), "a.bin");
}

TEST_F(LoadSettings, OptionOverridesProfileOnlyWhenGiven) {
    write_profile("ReadVerOnly=1\nReadBinOnly=1\nCheckUpdateOnly=1\n");
    EXPECT_EQ(load({"unrelated", "-readveronly=0", "-checkupdateonly="}), 0);
    EXPECT_EQ(gSettings.gReadVerOnly, 0u);
    EXPECT_EQ(gSettings.gReadBinOnly, 1u);
    EXPECT_EQ(gSettings.gCheckUpdateOnly, 1u); // no value after '=': not found
}

TEST_F(LoadSettings, LogFileReceivesEverythingFromTheLoad) {
    write_profile("DbgMsg=1\nLogFile=1\n");
    EXPECT_EQ(load({"-vid=5"}), 0);
    EXPECT_EQ(dir.read("debug.log"), out);
}

TEST_F(LoadSettings, OverlongValuesAreCutToTheirDestination) {
    write_profile("DbgMsg=1\n");
    const std::string path = "1.2" + std::string(100, '_');
    const std::string bin(700, 'F');
    EXPECT_EQ(load({"-path=" + path, "-hub1bin=" + bin}), 0);
    EXPECT_EQ(std::string(gSettings.gHub1Bin.data()), bin.substr(0, 511));
    EXPECT_NE(out.find("    Path=" + path.substr(0, 63) + "\n"), std::string::npos);
    EXPECT_EQ(gSettings.gTargetPath, (Path{1, 2, 0, 0, 0, 0, 0}));
}

// Each early stop prints its message and leaves the command line unread; the profile's numbers,
// read first, stay.
TEST_F(LoadSettings, EarlyStops) {
    const std::string both = "[Config]\nDbgMsg=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n";
    const struct {
        std::string profile; // no "update.ini" when empty
        const char* missing; // image file removed, if any
        const char* output;
        const char* bin0;
        const char* bin1;
    } cases[]{{"", nullptr, "TovrelaBin0_Error\n", "NA", ""},
              {"[Config]\nDbgMsg=1\nTovrelaBin1=b.bin\n", nullptr, "TovrelaBin0_Error\n", "NA", ""},
              {"[Config]\nDbgMsg=1\nTovrelaBin0=a.bin\n", nullptr,
               "    SPI-IMAGE: a.bin Check OK\nTovrelaBin1_Error\n", "a.bin", "NA"},
              {both, "a.bin", "Protection : Tovrela_Bin0_Open_Fail.\n", "a.bin", ""},
              {both, "b.bin",
               "    SPI-IMAGE: a.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n", "a.bin",
               "b.bin"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        gSettings = RunSettings{};
        std::remove("update.ini");
        if (!c.profile.empty()) {
            dir.write("update.ini", c.profile);
        }
        dir.write("a.bin", std::string("image 0"));
        dir.write("b.bin", std::string("image 1"));
        if (c.missing != nullptr) {
            std::remove(c.missing);
        }
        EXPECT_EQ(load({"-selftest=1", "-vid=1a2b", "-pid=1", "-bus=2", "-path=1", "-hub1bin=x"}),
                  0);
        EXPECT_EQ(out, c.output);
        EXPECT_STREQ(gSettings.gTovrelaBin0.data(), c.bin0);
        EXPECT_STREQ(gSettings.gTovrelaBin1.data(), c.bin1);
        EXPECT_EQ(gSettings.gDbgMsg, c.profile.starts_with("[Config]") ? 1u : 0u);
        EXPECT_EQ(gSettings.gHub1VID, 0u);
    }
}

// Port digits 1 to 9, '.' and '_' between them, within the first 13 characters; at most 7.
TEST_F(LoadSettings, PathDigitsWithinThirteenCharacters) {
    write_profile("");
    // clang-format off
    const std::pair<const char*, Path> cases[]{
        {"1.2.3", {1, 2, 3}}, {"1_4", {1, 4}}, {"2.10.3", {2, 1}}, {"a1", {}},
        {"98765432", {9, 8, 7, 6, 5, 4, 3}}, {"1..2..3..4..5..6", {1, 2, 3, 4, 5}},
        {"____________1", {1}}, {"_____________1", {}}};
    // clang-format on
    for (const auto& [value, entries] : cases) {
        gSettings.gTargetPath = {};
        EXPECT_EQ(load({std::string("-path=") + value}), 0);
        EXPECT_EQ(gSettings.gTargetPath, entries) << value;
    }
}

} // namespace
