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

    void write_profile(const std::string& config_lines) {
        dir.write("update.ini", "[Config]\n" + config_lines);
    }
    void write_profile_with_images(const std::string& extra_lines) {
        write_profile(extra_lines + "TovrelaBin0=a.bin\nTovrelaBin1=b.bin\n");
    }

    // Runs load_settings with the program name and `args`; keeps what it printed in `out`.
    int load(const std::vector<std::string>& args) {
        std::vector<std::string> storage{"tovrela-update"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : storage) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        const int result = load_settings(static_cast<int>(storage.size()), argv.data());
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    void expect_options_untouched() const {
        EXPECT_EQ(gSettings.gSelfTest, 0u);
        EXPECT_EQ(gSettings.gHub1VID, 0u);
        EXPECT_EQ(gSettings.gHub1PID, 0u);
        EXPECT_EQ(gSettings.gBus, 0u);
        EXPECT_EQ(gSettings.gTargetPath, Path{});
        EXPECT_STREQ(gSettings.gHub1Bin.data(), "");
    }

    test_files::TempDir dir;
    std::string out;
};

TEST_F(LoadSettings, BothPrintoutsWithDbgMsg) {
    write_profile_with_images("DbgMsg=1\nLogFile=0\nDeviceNum=10\nReadVerOnly=1\nReadBinOnly=a\n"
                              "CheckUpdateOnly=0\nBackUpOnly=2\nI2CTestOnly=12345\n");
    EXPECT_EQ(load({"-VID=1a2b", "-pid=03C4", "-hub1bin=FW.BIN", "-bus=1f", "-path=2.4",
                    "-hubpdsharespi=10", "-readveronly=0", "-readbinonly=1", "-backuponly=3",
                    "-checkupdateonly=b"}),
              0);
    EXPECT_EQ(out, check_ok_lines +
                       profile_printout("    LogFile=0\n"
                                        "    DeviceNum=10\n"
                                        "    ReadVerOnly=1\n"
                                        "    ReadBinOnly=A\n"
                                        "    CheckUpdateOnly=0\n"
                                        "    BackUpOnly=2\n"
                                        "    I2CTestOnly=2345\n"
                                        "    TovrelaBin0=a.bin\n"
                                        "    TovrelaBin1=b.bin\n") +
                       "    ----- Setting From command.sh  -----\n"
                       "    Hub1VID=1A2B\n"
                       "    Hub1PID=3C4\n"
                       "    Hub1Bin=FW.BIN\n"
                       "    Bus=1F\n"
                       "    Path=2.4\n"
                       "    gHubPDShareSPI=16\n"
                       "    gReadVerOnly=0\n"
                       "    gReadBinOnly=1\n"
                       "    gCheckUpdateOnly=11\n"
                       "    gBackUpOnly=3\n"
                       "    ------------------------------------\n");
    EXPECT_EQ(gSettings.gDeviceNum, 16u);
    EXPECT_EQ(gSettings.gI2CTestOnly, 0x2345u);
    EXPECT_EQ(gSettings.gTargetPath, (Path{2, 4, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(verbose_detail());
}

TEST_F(LoadSettings, WithoutDbgMsgOnlyTheCheckLines) {
    write_profile_with_images("DbgMsg=0\n");
    EXPECT_EQ(load({"-vid=1", "-path=1.2"}), 0);
    EXPECT_EQ(out, check_ok_lines);
    EXPECT_EQ(gSettings.gHub1VID, 1u);
}

TEST_F(LoadSettings, DbgMsg100PrintsBothPrintoutsButNoDetailLines) {
    write_profile_with_images("DbgMsg=100\n");
    EXPECT_EQ(load({"-selftest=12"}), 0);
    EXPECT_EQ(gSettings.gDbgMsg, 0x100u);
    EXPECT_FALSE(verbose_detail());
    EXPECT_NE(out.find("    ----- Setting From Setting.ini -----\n"), std::string::npos);
    EXPECT_NE(out.find("    ----- Setting From command.sh  -----\n    Hub1VID=0\n"),
              std::string::npos);
    EXPECT_NE(out.find("    Path=\n"), std::string::npos); // no -path given: empty
    EXPECT_EQ(gSettings.gSelfTest, 12u);                   // decimal
}

TEST_F(LoadSettings, NoArgumentsStopsAfterTheFirstPrintout) {
    write_profile_with_images("DbgMsg=1\nDeviceNum=2\n");
    EXPECT_EQ(load({}), -2);
    EXPECT_EQ(out, check_ok_lines + profile_printout("    LogFile=0\n"
                                                     "    DeviceNum=2\n"
                                                     "    ReadVerOnly=0\n"
                                                     "    ReadBinOnly=0\n"
                                                     "    CheckUpdateOnly=0\n"
                                                     "    BackUpOnly=0\n"
                                                     "    I2CTestOnly=0\n"
                                                     "    TovrelaBin0=a.bin\n"
                                                     "    TovrelaBin1=b.bin\n"));
    expect_options_untouched();
}

TEST_F(LoadSettings, OptionOverridesProfileOnlyWhenGiven) {
    write_profile_with_images("ReadVerOnly=1\nReadBinOnly=1\nCheckUpdateOnly=1\nBackUpOnly=1\n");
    EXPECT_EQ(load({"unrelated", "-readveronly=0", "-checkupdateonly="}), 0);
    EXPECT_EQ(gSettings.gReadVerOnly, 0u);
    EXPECT_EQ(gSettings.gReadBinOnly, 1u);
    EXPECT_EQ(gSettings.gCheckUpdateOnly, 1u); // no value after '=': not found
    EXPECT_EQ(gSettings.gBackUpOnly, 1u);
}

TEST_F(LoadSettings, ProfileWithoutNumericKeysLeavesStartValues) {
    write_profile_with_images("");
    EXPECT_EQ(load({"nothing"}), 0);
    EXPECT_EQ(out, check_ok_lines);
    RunSettings expected;
    expected.gTovrelaBin0 = gSettings.gTovrelaBin0;
    expected.gTovrelaBin1 = gSettings.gTovrelaBin1;
    EXPECT_EQ(std::memcmp(&gSettings, &expected, sizeof expected), 0);
    EXPECT_EQ(gSettings.gDeviceNum, 1u);
}

TEST_F(LoadSettings, CrLfProfileFindsTheImages) {
    dir.write("update.ini", std::string("[Config]\r\nDbgMsg=1\r\nTovrelaBin0=a.bin\r\n"
                                        "TovrelaBin1=b.bin\r\n"));
    EXPECT_EQ(load({}), -2);
    EXPECT_STREQ(gSettings.gTovrelaBin0.data(), "a.bin");
    EXPECT_STREQ(gSettings.gTovrelaBin1.data(), "b.bin");
    EXPECT_EQ(out.substr(0, std::string(check_ok_lines).size()), check_ok_lines);
    EXPECT_EQ(gSettings.gDbgMsg, 1u);
}

TEST_F(LoadSettings, LogFileReceivesEverythingFromTheLoad) {
    write_profile_with_images("DbgMsg=1\nLogFile=1\n");
    EXPECT_EQ(load({"-vid=5"}), 0);
    EXPECT_EQ(dir.read("debug.log"), out);
}

TEST_F(LoadSettings, OverlongValuesAreCutToTheirDestination) {
    write_profile_with_images("DbgMsg=1\n");
    const std::string path = "1.2" + std::string(100, '_');
    const std::string bin(700, 'F');
    EXPECT_EQ(load({"-path=" + path, "-hub1bin=" + bin}), 0);
    EXPECT_EQ(std::string(gSettings.gHub1Bin.data()), bin.substr(0, 511));
    EXPECT_NE(out.find("    Path=" + path.substr(0, 63) + "\n"), std::string::npos);
    EXPECT_EQ(gSettings.gTargetPath, (Path{1, 2, 0, 0, 0, 0, 0}));
}

struct EarlyStop {
    const char* name;
    const char* profile; // written as "update.ini" unless null
    bool image0_present;
    bool image1_present;
    const char* output;
    const char* bin0;
    const char* bin1;
};

class LoadSettingsEarlyStop : public LoadSettings, public testing::WithParamInterface<EarlyStop> {};

TEST_P(LoadSettingsEarlyStop, StopsWithItsMessageBeforeTheCommandLine) {
    const EarlyStop& c = GetParam();
    if (c.profile != nullptr) {
        dir.write("update.ini", std::string(c.profile));
    }
    if (!c.image0_present) {
        std::remove("a.bin");
    }
    if (!c.image1_present) {
        std::remove("b.bin");
    }
    EXPECT_EQ(load({"-selftest=1", "-vid=1a2b", "-pid=1", "-bus=2", "-path=1", "-hub1bin=x"}), 0);
    EXPECT_EQ(out, c.output);
    EXPECT_STREQ(gSettings.gTovrelaBin0.data(), c.bin0);
    EXPECT_STREQ(gSettings.gTovrelaBin1.data(), c.bin1);
    expect_options_untouched();
}

INSTANTIATE_TEST_SUITE_P(
    Stops, LoadSettingsEarlyStop,
    testing::Values(
        EarlyStop{"NoProfile", nullptr, true, true, "TovrelaBin0_Error\n", "NA", ""},
        EarlyStop{"NoSection", "[Other]\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n", true, true,
                  "TovrelaBin0_Error\n", "NA", ""},
        EarlyStop{"NoBin0Key", "[Config]\nDbgMsg=1\nTovrelaBin1=b.bin\n", true, true,
                  "TovrelaBin0_Error\n", "NA", ""},
        EarlyStop{"NoBin1Key", "[Config]\nDbgMsg=1\nTovrelaBin0=a.bin\n", true, true,
                  "    SPI-IMAGE: a.bin Check OK\nTovrelaBin1_Error\n", "a.bin", "NA"},
        EarlyStop{"Image0Missing", "[Config]\nDbgMsg=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n",
                  false, true, "Protection : Tovrela_Bin0_Open_Fail.\n", "a.bin", ""},
        EarlyStop{"Image1Missing", "[Config]\nDbgMsg=1\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n",
                  true, false,
                  "    SPI-IMAGE: a.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n", "a.bin",
                  "b.bin"}),
    [](const testing::TestParamInfo<EarlyStop>& info) { return std::string(info.param.name); });

TEST_F(LoadSettings, EarlyStopKeepsProfileNumbersAlreadyRead) {
    write_profile("DbgMsg=1\nDeviceNum=3\nReadVerOnly=1\nTovrelaBin0=missing.bin\n");
    EXPECT_EQ(load({"-readveronly=0"}), 0);
    EXPECT_EQ(out, "Protection : Tovrela_Bin0_Open_Fail.\n");
    EXPECT_EQ(gSettings.gDeviceNum, 3u);
    EXPECT_EQ(gSettings.gReadVerOnly, 1u);
}

struct PathCase {
    const char* value;
    Path entries;
};

class LoadSettingsPath : public LoadSettings, public testing::WithParamInterface<PathCase> {};

TEST_P(LoadSettingsPath, DigitsWithinThirteenCharacters) {
    write_profile_with_images("");
    EXPECT_EQ(load({std::string("-path=") + GetParam().value}), 0);
    EXPECT_EQ(gSettings.gTargetPath, GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(Values, LoadSettingsPath,
                         testing::Values(PathCase{"1.2.3", {1, 2, 3, 0, 0, 0, 0}},
                                         PathCase{"1_4", {1, 4}}, PathCase{"3.0.2", {3}},
                                         PathCase{"2.10.3", {2, 1}},
                                         PathCase{"1.2.3.4.5.6.7.8", {1, 2, 3, 4, 5, 6, 7}},
                                         PathCase{"98765432", {9, 8, 7, 6, 5, 4, 3}},
                                         PathCase{"1..2..3..4..5..6", {1, 2, 3, 4, 5}},
                                         PathCase{"____________1", {1}},
                                         PathCase{"_____________1", {}}, PathCase{"a1", {}},
                                         PathCase{"1-2", {1}}, PathCase{"0", {}}));

} // namespace
