// What a child tool's output says, line by line: the phase and progress of an update, the chip's
// version, the answer of a check, and the last line that tells why something failed.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace line {

class ToolOutput {
  public:
    // The sizes of both images, which weigh the two flash writes in the progress.
    struct ImageSizes {
        std::size_t image0 = 0;
        std::size_t image1 = 0;
    };
    explicit ToolOutput(ImageSizes sizes);

    // More of the output; lines end at "\n" or at the "\r" of a progress line.
    void feed(std::string_view bytes);
    // The end of the output: a last line without its end is taken too.
    void finish();

    // "Image 1", "Image 0", "register 0020" and so on; empty before the first step.
    [[nodiscard]] const std::string& phase() const { return phase_; }
    // The update's share done, 0 to 1, from the register steps and the progress lines.
    [[nodiscard]] double progress() const;
    // "2.13.15.4" once all six version lines of a version read were seen.
    [[nodiscard]] std::optional<std::string> chip_version() const;
    [[nodiscard]] bool passed() const { return passed_; }
    [[nodiscard]] bool status_ok() const { return status_ok_; }
    [[nodiscard]] bool stopped() const { return stopped_; }
    // The last line that is not part of a normal run, such as "I2C-WriteCmd B8 Fail -9".
    [[nodiscard]] const std::string& last_failure() const { return last_failure_; }

  private:
    void take_line(std::string_view line);
    bool take_progress_step(std::string_view line);

    std::size_t image1_bytes_;
    std::size_t image0_bytes_;
    std::string partial_;
    std::string phase_;
    int image_ = -1;  // the image being written, -1 before Image 1
    int percent_ = 0; // of that image
    bool images_done_ = false;
    bool finished_ = false;
    std::array<std::optional<int>, 6> version_bytes_{};
    bool passed_ = false;
    bool status_ok_ = false;
    bool stopped_ = false;
    std::string last_failure_;
};

} // namespace line
