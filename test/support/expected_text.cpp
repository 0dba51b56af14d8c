#include "expected_text.h"

namespace tool_text {

namespace {
constexpr const char* rule = "----------------------------------------------------------------\n";
} // namespace

std::string rows(char mark, const std::string& before_hub) {
    return "( )000000 1111:0002 bcdDevice 0100 (address 02) bus 2, path 1\n"
           "( )000001 1d6b:0002 bcdDevice 0601 (address 01) bus 2,\n" +
           before_hub + "(" + mark +
           ")000002 1234:5678 bcdDevice 0100 (address 03) bus 1, path 2.4\n"
           "( )000003 1111:0001 bcdDevice 0100 (address 02) bus 1, path 2\n"
           "( )000004 1d6b:0002 bcdDevice 0601 (address 01) bus 1,\n";
}

std::string table(const std::string& device_rows, bool found) {
    return std::string("\n   device vid :pid  bcdDevice      (address)    bus    path\n") + rule +
           device_rows + (found ? "" : "   Target_Device_Not_Found.\n") + rule;
}

std::string on_hub(const std::string& rest) {
    return check_ok + table(rows()) + rest;
}

std::string reg(const char* value) {
    return std::string("Tovrela_Reg_Write 5000=") + value + "\n";
}

std::string percents(int first, int last) {
    std::string text;
    for (int percent = first; percent <= last; ++percent) {
        text += (percent < 10 ? "\rprogress=0" : "\rprogress=") + std::to_string(percent) + "%";
    }
    return text;
}

std::string progress(std::size_t size, std::size_t sent) {
    // After each block the share of the image before it, when that grew to a new whole percent.
    std::string text;
    std::size_t shown = 0;
    for (std::size_t block = 1; block < sent; ++block) {
        if (const std::size_t percent = block * update_geometry::block_size * 100 / size;
            percent > shown) {
            text += percents(static_cast<int>(percent), static_cast<int>(percent));
            shown = percent;
        }
    }
    return text;
}

std::string versions(const std::vector<int>& bytes) {
    const char* names[] = {"STD_MAJOR_VERSION        = ", "STD_MINOR_VERSION        = ",
                           "STD_REVISION_NUMBER      = ", "CUSTOMER_PROJECT_ID      = ",
                           "CUSTOMER_MAJOR_REVERSION = ", "CUSTOMER_MINOR_REVERSION = "};
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += names[i] + std::to_string(bytes[i]) + "\n";
    }
    return text;
}

} // namespace tool_text
