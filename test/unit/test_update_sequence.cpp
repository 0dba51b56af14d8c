// The full update: register 0x5000 sequence, both images, pauses and the closing banner.
#include "settings.h"
#include "test_device.h"
#include "test_files.h"
#include "update_sequence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::size_t image0_size = 0x80000; // 128 blocks, the smallest Image 0
constexpr std::size_t image1_size = 0x1021;  // 2 blocks, the last of 33 bytes

const std::string pass_banner = "\n===========================\n"
                                "= Tovrela_FW_Update_PASS. =\n"
                                "===========================\n";
const std::string fail_banner = "\n===========================\n"
                                "= Tovrela_FW_Update_FAIL. =\n"
                                "===========================\n";

std::string progress_lines(int first, int last) {
    std::string text;
    for (int percent = first; percent <= last; ++percent) {
        char line[32];
        std::snprintf(line, sizeof line, "\rprogress=%02d%%", percent);
        text += line;
    }
    return text;
}

// The register writes that reached the chip: register and value of each 13-byte frame.
std::vector<Bytes> register_frames() {
    std::vector<Bytes> frames;
    for (const auto& t : test_device::chip().transfers) {
        if (t.request == 0xB2 && t.length == 13 && t.result >= 0) {
            frames.push_back(t.data);
        }
    }
    return frames;
}

class UpdateSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = gSettings;
        gSettings.gDbgMsg = 0;
        set_path(gSettings.gTovrelaBin0, dir_.file("image0.bin"));
        set_path(gSettings.gTovrelaBin1, dir_.file("image1.bin"));
        image0_ = test_files::pattern_bytes(image0_size, 10);
        image1_ = test_files::pattern_bytes(image1_size, 11);
        dir_.write("image0.bin", image0_);
        dir_.write("image1.bin", image1_);
        test_device::reset();
    }
    void TearDown() override { gSettings = saved_; }

    static void set_path(std::array<char, 256>& field, const std::string& path) {
        ASSERT_LT(path.size(), field.size());
        field.fill(0);
        std::memcpy(field.data(), path.data(), path.size());
    }

    static std::string update(int expected_result) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(expected_result, update_firmware(test_device::handle()));
        return testing::internal::GetCapturedStdout();
    }

    test_files::TempDir dir_;
    Bytes image0_;
    Bytes image1_;

  private:
    RunSettings saved_;
};

TEST_F(UpdateSequence, FullUpdate) {
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\n"
              "Tovrela_Reg_Write 5000=0011\n"
              "Tovrela_Flash_Write FW1\n\rprogress=99%\n"
              "Tovrela_Reg_Write 5000=0012\n"
              "Tovrela_Reg_Write 5000=0020\n"
              "Tovrela_Flash_Write FW0\n" +
                  progress_lines(1, 99) +
                  "\n"
                  "Tovrela_Reg_Write 5000=0110\n" +
                  pass_banner,
              update(1));

    const auto& chip = test_device::chip();
    EXPECT_EQ("", chip_model::verdict(chip));
    EXPECT_EQ((std::vector<uint16_t>{0x0010, 0x0011, 0x0012, 0x0020, 0x0110}), chip.reg5000_values);
    EXPECT_TRUE(chip.flashed[0] == image0_);
    EXPECT_TRUE(chip.flashed[1] == image1_);
    EXPECT_EQ((std::vector<Bytes>{
                  {0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x10, 0xBC},
                  {0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x11, 0xBD},
                  {0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x12, 0xBE},
                  {0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x00, 0x20, 0x8C},
                  {0xE6, 0x51, 0x89, 0xC2, 0x00, 0x00, 0x07, 0x07, 0x50, 0x00, 0x01, 0x10, 0xBD},
              }),
              register_frames());
}

TEST_F(UpdateSequence, PauseScheduleOfTheWholeUpdate) {
    update(1);
    std::vector<uint32_t> expected{321000, 1000000, 321000};
    for (int block = 0; block < 2; ++block) {
        expected.insert(expected.end(), {123000, 321000});
    }
    expected.insert(expected.end(), {321000, 1000000, 2000000, 321000});
    for (int block = 0; block < 128; ++block) {
        expected.insert(expected.end(), {123000, 321000});
    }
    expected.push_back(321000);
    EXPECT_EQ(expected, test_device::pauses());

    // Each 1 s pause follows the confirmation of 0x0010 and of 0x0012 and comes before the next
    // frame.
    const auto& events = test_device::events();
    const auto& transfers = test_device::chip().transfers;
    int settle_pauses = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind != test_device::Event::Kind::pause || events[i].pause_us != 1000000) {
            continue;
        }
        ++settle_pauses;
        ASSERT_GT(i, 0u);
        ASSERT_LT(i + 1, events.size());
        EXPECT_EQ(0xA3, transfers[events[i - 1].transfer].request);
        EXPECT_EQ(0xB2, transfers[events[i + 1].transfer].request);
        EXPECT_EQ(13, transfers[events[i + 1].transfer].length);
    }
    EXPECT_EQ(2, settle_pauses);
}

// Where a failing step leaves the sequence.
struct StepFailure {
    const char* name;
    chip_model::Fault fault;
    std::vector<uint16_t> frames_sent; // values of the register writes sent
    const char* tail;                  // the output just before the banner
};
void PrintTo(const StepFailure& c, std::ostream* os) {
    *os << c.name;
}

class FailingStep : public UpdateSequence, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(FailingStep, EndsWithTheFailBanner) {
    const auto& param = GetParam();
    test_device::reset({.fault = param.fault});
    const std::string text = update(0);
    EXPECT_TRUE(text.ends_with(std::string(param.tail) + fail_banner)) << text;
    EXPECT_EQ(text.find("Tovrela_FW_Update"), text.rfind("Tovrela_FW_Update")) << "one banner";

    std::vector<uint16_t> values;
    for (const auto& frame : register_frames()) {
        values.push_back(static_cast<uint16_t>(frame[10] << 8 | frame[11]));
    }
    EXPECT_EQ(param.frames_sent, values);
    const auto& transfers = test_device::chip().transfers;
    ASSERT_FALSE(transfers.empty());
    if (param.fault.kind != chip_model::FaultKind::never_finish) {
        EXPECT_LT(transfers.back().result, 0) << "nothing is sent after the failed transfer";
    }
}

using chip_model::FaultKind;
// B2 frames in order: 0x0010, 0x0011, two prepares of Image 1, 0x0012, 0x0020, 128 prepares of
// Image 0, 0x0110. A3 reads: one per write and per block.
INSTANTIATE_TEST_SUITE_P(
    UpdateSequence, FailingStep,
    ::testing::Values(
        StepFailure{"first_write",
                    {FaultKind::stall, 0xB2, 1},
                    {},
                    "Tovrela_Reg_Write 5000=0010\nI2C-WriteCmd B2 Fail -9\n"},
        StepFailure{"second_write_times_out",
                    {FaultKind::never_finish, 0xA3, 2},
                    {0x0010, 0x0011},
                    "Tovrela_Reg_Write 5000=0011\nTovrela_Reg_Tout\n"},
        StepFailure{"image1_prepare",
                    {FaultKind::timeout, 0xB2, 3},
                    {0x0010, 0x0011},
                    "Tovrela_Flash_Write FW1\nI2C-WriteCmd B2 Fail -7\n"},
        StepFailure{"image1_data",
                    {FaultKind::no_device, 0xB8, 130},
                    {0x0010, 0x0011},
                    "Tovrela_Flash_Write FW1\nI2C-WriteCmd B8 Fail -4\n"},
        StepFailure{"image1_status",
                    {FaultKind::timeout, 0xA3, 3},
                    {0x0010, 0x0011},
                    "Tovrela_Flash_Write FW1\nI2C-ReadCmd A3 Fail -7\n"},
        StepFailure{"third_write",
                    {FaultKind::stall, 0xB2, 5},
                    {0x0010, 0x0011},
                    "Tovrela_Reg_Write 5000=0012\nI2C-WriteCmd B2 Fail -9\n"},
        StepFailure{"fourth_write_status",
                    {FaultKind::stall, 0xA3, 6},
                    {0x0010, 0x0011, 0x0012, 0x0020},
                    "Tovrela_Reg_Write 5000=0020\nI2C-ReadCmd A3 Fail -9\n"},
        StepFailure{"image0_header",
                    {FaultKind::timeout, 0xB7, 3},
                    {0x0010, 0x0011, 0x0012, 0x0020},
                    "Tovrela_Flash_Write FW0\nI2C-WriteCmd B7 Fail -7\n"},
        StepFailure{"image0_crc",
                    {FaultKind::timeout, 0xB9, 130},
                    {0x0010, 0x0011, 0x0012, 0x0020},
                    "\rprogress=98%I2C-WriteCmd B9 Fail -7\n"},
        StepFailure{
            "image0_block_timeout",
            {FaultKind::never_finish, 0xA3, 9},
            {0x0010, 0x0011, 0x0012, 0x0020},
            "Tovrela_Flash_Write FW0\n\rprogress=01%\nTovrela_FFW_Tout\n\t read-loop = A\n\n"},
        StepFailure{"last_write",
                    {FaultKind::stall, 0xB2, 135},
                    {0x0010, 0x0011, 0x0012, 0x0020},
                    "\rprogress=99%\nTovrela_Reg_Write 5000=0110\nI2C-WriteCmd B2 Fail -9\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequence, UnreadableImage1StopsBeforeTheOtherWrites) {
    set_path(gSettings.gTovrelaBin1, dir_.file("missing.bin"));
    EXPECT_EQ("Tovrela_Reg_Write 5000=0010\n"
              "Tovrela_Reg_Write 5000=0011\n"
              "Tovrela_Flash_Write FW1\n!!!Open BinFile 1 Fail\n" +
                  fail_banner,
              update(0));
    EXPECT_EQ((std::vector<uint16_t>{0x0010, 0x0011}), test_device::chip().reg5000_values);
}

TEST_F(UpdateSequence, RefusedImage0StopsBeforeTheLastWrite) {
    dir_.write("image0.bin", test_files::pattern_bytes(0x7FFFF, 3));
    EXPECT_TRUE(update(0).ends_with("Tovrela_Reg_Write 5000=0020\n"
                                    "Tovrela_Flash_Write FW0\n  BinFile0 Size Error\n" +
                                    fail_banner));
    EXPECT_EQ((std::vector<uint16_t>{0x0010, 0x0011, 0x0012, 0x0020}),
              test_device::chip().reg5000_values);
}

} // namespace
