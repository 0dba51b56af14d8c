#include "tool_output.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace line {

namespace {

// The version of the tool's event channel that the line reads.
constexpr int channel_version = 1;
// A line longer than any event the tool writes is no event.
constexpr std::size_t longest_line = 4096;

// The register write that ends an update.
constexpr std::string_view last_register_value = "0x0110";

using Json = nlohmann::json;

// A field of an event, or the fallback when it is missing or of another type.
std::string text(const Json& event, const char* name) {
    const auto found = event.find(name);
    return found != event.end() && found->is_string() ? found->get<std::string>() : "";
}
int64_t number(const Json& event, const char* name, int64_t fallback) {
    const auto found = event.find(name);
    return found != event.end() && found->is_number_integer() ? found->get<int64_t>() : fallback;
}
bool flag(const Json& event, const char* name) {
    const auto found = event.find(name);
    return found != event.end() && found->is_boolean() && found->get<bool>();
}

} // namespace

ToolOutput::ToolOutput(ImageSizes sizes)
    : image1_bytes_(sizes.image1), image0_bytes_(sizes.image0) {}

void ToolOutput::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\n') {
            take_line(partial_);
            partial_.clear();
        } else if (partial_.size() <= longest_line) {
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

void ToolOutput::take_line(std::string_view line) {
    if (line.size() > longest_line) {
        return;
    }
    const Json event = Json::parse(line, nullptr, false);
    if (!event.is_object() || number(event, "v", 0) != channel_version) {
        return;
    }
    const std::string name = text(event, "event");
    const std::string value = text(event, "value");
    if (name == "register" && value.starts_with("0x")) {
        phase_ = "register " + value.substr(2);
        images_done_ = image_ >= 0; // a register step follows a whole image
        if (images_done_) {
            percents_.at(static_cast<std::size_t>(image_)) = 100;
        }
        finished_ = value == last_register_value && image_ == 0;
    } else if (name == "image") {
        image_ = number(event, "image", 1) == 0 ? 0 : 1;
        share_ = 0;
        images_done_ = false;
        phase_ = image_ == 0 ? "Image 0" : "Image 1";
        int& percent = percents_.at(static_cast<std::size_t>(image_));
        percent = std::max(percent, 0);
    } else if (name == "block") {
        const int64_t blocks = number(event, "blocks", 0);
        const int64_t block = number(event, "block", 0);
        if (blocks > 0 && block >= 0 && block <= blocks) {
            share_ = static_cast<double>(block) / static_cast<double>(blocks);
            if (image_ >= 0) {
                percents_.at(static_cast<std::size_t>(image_)) =
                    static_cast<int>(block * 100 / blocks);
            }
        }
    } else if (name == "chip_version") {
        chip_version_ = text(event, "version");
    } else if (name == "stop") {
        stopped_ = true;
        stop_line_ = text(event, "line");
    } else if (name == "result") {
        result_ = ToolResult{
            static_cast<int>(number(event, "exit_status", -1)), text(event, "failure"),
            static_cast<int>(number(event, "libusb_error", 0)), flag(event, "unfinished_command")};
    }
}

double ToolOutput::progress() const {
    const double total = static_cast<double>(image1_bytes_ + image0_bytes_);
    if (finished_ || (result_ && result_->exit_status == 0)) {
        return 1.0;
    }
    if (image_ < 0 || total <= 0) {
        return 0.0;
    }
    const auto image1 = static_cast<double>(image1_bytes_);
    if (image_ == 1) {
        return (images_done_ ? image1 : share_ * image1) / total;
    }
    const auto image0 = static_cast<double>(image0_bytes_);
    return (image1 + (images_done_ ? image0 : share_ * image0)) / total;
}

std::optional<int> ToolOutput::image_percent(int image) const {
    const int percent = percents_.at(image == 0 ? 0 : 1);
    return percent < 0 ? std::nullopt : std::optional<int>(percent);
}

std::string ToolOutput::failure() const {
    if (result_ && !result_->failure.empty()) {
        return result_->failure;
    }
    return stop_line_;
}

} // namespace line
