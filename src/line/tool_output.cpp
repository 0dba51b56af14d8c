#include "tool_output.h"

#include <charconv>

namespace line {

namespace {

// The six version lines of a version read, in order.
constexpr std::array<std::string_view, 6> version_labels{
    "STD_MAJOR_VERSION",   "STD_MINOR_VERSION",        "STD_REVISION_NUMBER",
    "CUSTOMER_PROJECT_ID", "CUSTOMER_MAJOR_REVERSION", "CUSTOMER_MINOR_REVERSION"};

// Lines of a normal run, never the reason of a failure; the tool's advice after a failed update
// follows the reason and is not one.
constexpr std::array<std::string_view, 20> normal_starts{
    "tovrela-update: the update stopped after the chip was touched;",
    "=",
    "-----",
    "(",
    "   device vid",
    "          [",
    "    SPI-IMAGE:",
    "    ISP_DRIVER:",
    "Tovrela_Reg_Write ",
    "Tovrela_Flash_Write ",
    "progress=",
    "Status=",
    "STD_",
    "CUSTOMER_",
    "FW Current: ",
    "FW Available: ",
    "FW update available",
    "FW up to date",
    "TotalByte",
    "BinFile0 Version=",
};

std::optional<int> number_after(std::string_view line, char mark) {
    const std::size_t at = line.find(mark);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = line.substr(at + 1);
    while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
    }
    int value = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc() || end == rest.data()) {
        return std::nullopt;
    }
    return value;
}

bool normal_line(std::string_view line) {
    if (line.find_first_not_of(" \t") == std::string_view::npos ||
        line.starts_with("\t read-loop")) {
        return true;
    }
    for (const std::string_view start : normal_starts) {
        if (line.starts_with(start)) {
            return true;
        }
    }
    return false;
}

} // namespace

ToolOutput::ToolOutput(ImageSizes sizes)
    : image1_bytes_(sizes.image1), image0_bytes_(sizes.image0) {}

void ToolOutput::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\n' || c == '\r') {
            take_line(partial_);
            partial_.clear();
        } else if (partial_.size() < 4096) {
            partial_ += c;
        }
    }
}

void ToolOutput::finish() {
    if (!partial_.empty()) {
        take_line(partial_);
        partial_.clear();
    }
}

bool ToolOutput::take_progress_step(std::string_view line) {
    if (line.starts_with("Tovrela_Reg_Write 5000=")) {
        const std::string_view value = line.substr(23);
        phase_ = "register " + std::string(value);
        images_done_ = image_ >= 0; // a register step follows a whole image
        finished_ = value == "0110" && image_ == 0;
        return true;
    }
    if (line.starts_with("Tovrela_Flash_Write FW")) {
        image_ = line.ends_with("FW0") ? 0 : 1;
        percent_ = 0;
        images_done_ = false;
        phase_ = image_ == 0 ? "Image 0" : "Image 1";
        return true;
    }
    if (line.starts_with("progress=")) {
        percent_ = number_after(line, '=').value_or(percent_);
        // A failure right after a progress line shares its console line.
        if (const std::size_t end = line.find('%'); end != std::string_view::npos) {
            if (const std::string_view rest = line.substr(end + 1); !rest.empty()) {
                take_line(rest);
            }
        }
        return true;
    }
    return false;
}

void ToolOutput::take_line(std::string_view line) {
    if (take_progress_step(line)) {
        return;
    }
    for (std::size_t i = 0; i < version_labels.size(); ++i) {
        if (line.starts_with(version_labels[i])) {
            version_bytes_[i] = number_after(line, '=');
            return;
        }
    }
    if (line == "= Tovrela_FW_Update_PASS. =") {
        passed_ = true;
    } else if (line.starts_with("Status=")) {
        status_ok_ = line == "Status=0x1";
    } else if (line.starts_with("Stopped by ")) {
        stopped_ = true;
    }
    if (!normal_line(line)) {
        last_failure_ = line;
    }
}

double ToolOutput::progress() const {
    const double total = static_cast<double>(image1_bytes_ + image0_bytes_);
    if (finished_ || passed_) {
        return 1.0;
    }
    if (image_ < 0 || total <= 0) {
        return 0.0;
    }
    const double share = percent_ / 100.0;
    const auto image1 = static_cast<double>(image1_bytes_);
    if (image_ == 1) {
        return (images_done_ ? image1 : share * image1) / total;
    }
    const auto image0 = static_cast<double>(image0_bytes_);
    return (image1 + (images_done_ ? image0 : share * image0)) / total;
}

std::optional<std::string> ToolOutput::chip_version() const {
    for (const auto& byte : version_bytes_) {
        if (!byte) {
            return std::nullopt;
        }
    }
    return std::to_string(*version_bytes_[0]) + "." + std::to_string(*version_bytes_[1]) + "." +
           std::to_string(*version_bytes_[2]) + "." + std::to_string(*version_bytes_[5]);
}

} // namespace line
