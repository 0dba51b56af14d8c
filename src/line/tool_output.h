// What a child tool says on its event channel (tovrela-update -eventfd=N, one JSON object a
// line): the phase and progress of an update, the chip's version, a stop, and the result with
// its exit status and failure line. The tool's console output is only kept in its log.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace line {

// The end of a tool's run, as its "result" event says it.
struct ToolResult {
    int exit_status = -1;
    std::string failure; // the first failure line, or the stop line; empty when none
    int libusb_error = 0;
    bool unfinished_command = false; // the chip was left before it finished a command
};

class ToolOutput {
  public:
    // The sizes of both images, which weigh the two flash writes in the progress.
    struct ImageSizes {
        std::size_t image0 = 0;
        std::size_t image1 = 0;
    };
    explicit ToolOutput(ImageSizes sizes);

    // More of the channel; each line is one event. Lines that are no event of version 1, and
    // events and fields it does not know, are skipped.
    void feed(std::string_view bytes);
    // The end of the channel: a last line without its end is taken too.
    void finish();

    // "Image 1", "Image 0", "register 0020" and so on; empty before the first step.
    [[nodiscard]] const std::string& phase() const { return phase_; }
    // The update's share done, 0 to 1, from the register steps and the confirmed blocks.
    [[nodiscard]] double progress() const;
    // How much of Image `image` (0 or 1) the tool has written, in whole percent; none before the
    // tool began it.
    [[nodiscard]] std::optional<int> image_percent(int image) const;
    // "2.13.15.4" once the tool read the chip's version.
    [[nodiscard]] const std::optional<std::string>& chip_version() const { return chip_version_; }
    [[nodiscard]] bool stopped() const { return stopped_; }
    // The result, once the tool sent it.
    [[nodiscard]] const std::optional<ToolResult>& result() const { return result_; }
    // Why the run failed, in the tool's words: its failure line, or its stop line; empty when
    // neither came.
    [[nodiscard]] std::string failure() const;

  private:
    void take_line(std::string_view line);

    std::size_t image1_bytes_;
    std::size_t image0_bytes_;
    std::string partial_;
    std::string phase_;
    int image_ = -1;                      // the image being written, -1 before Image 1
    double share_ = 0;                    // of that image, from its confirmed blocks
    std::array<int, 2> percents_{-1, -1}; // of each image; -1 before it began
    bool images_done_ = false;
    bool finished_ = false;
    std::optional<std::string> chip_version_;
    bool stopped_ = false;
    std::string stop_line_;
    std::optional<ToolResult> result_;
};

} // namespace line
