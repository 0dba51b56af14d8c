// What the tool prints, written once for the unit and the end-to-end tests.
#pragma once

#include "update_geometry.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tool_text {

// Inline, so that the tables of other files may be built from them at start-up.
inline const std::string banner = "========================================\n"
                                  "=   EZU Tovrela I2C Update Tool v0.0   =\n"
                                  "=                                      =\n"
                                  "=      Linux port: tovrela-update      =\n"
                                  "=               2022.03.28             =\n"
                                  "========================================\n";
inline const std::string check_ok = "    SPI-IMAGE: image0.bin Check OK\n"
                                    "    ISP_DRIVER: image1.bin Check OK\n";
inline const std::string pass_banner = "\n===========================\n"
                                       "= Tovrela_FW_Update_PASS. =\n"
                                       "===========================\n";
inline const std::string fail_banner = "\n===========================\n"
                                       "= Tovrela_FW_Update_FAIL. =\n"
                                       "===========================\n";

// The rows of the simulator's default tree (hub 1234:5678 at bus 1, ports 2.4) in libusb's order,
// `mark` between the parentheses of the hub's row and `before_hub` just before it.
std::string rows(char mark = '*', const std::string& before_hub = "");

// The device table around `device_rows`, with the not-found line when nothing matched.
std::string table(const std::string& device_rows, bool found = true);

// check_ok, the default table with the hub marked, then `rest`.
std::string on_hub(const std::string& rest);

// "Tovrela_Reg_Write 5000=VALUE\n".
std::string reg(const char* value);

// "\rprogress=NN%" for every NN from `first` to `last`.
std::string percents(int first, int last);

// The progress lines of the writer once it sent `sent` blocks of an image of `size` bytes.
std::string progress(std::size_t size, std::size_t sent);

// The six version lines of a version read.
std::string versions(const std::vector<int>& bytes);
inline const std::string chip_versions = versions({2, 13, 15, 0, 0, 4}); // the simulated chip's

// The default images (update_geometry::default_sizes) and the writer's lines for them.
constexpr std::size_t small_image1 = update_geometry::default_sizes.image1;
constexpr std::size_t small_image0 = update_geometry::default_sizes.image0;
inline const std::string image1_written =
    "Tovrela_Flash_Write FW1\n" + progress(small_image1, update_geometry::blocks(small_image1)) +
    "\n";
inline const std::string image0_written =
    "Tovrela_Flash_Write FW0\n" + progress(small_image0, update_geometry::blocks(small_image0)) +
    "\n";
inline const std::string before_image0 =
    reg("0010") + reg("0011") + image1_written + reg("0012") + reg("0020");
inline const std::string passing_update =
    before_image0 + image0_written + reg("0110") + pass_banner + "Status=0x1\n";

} // namespace tool_text
