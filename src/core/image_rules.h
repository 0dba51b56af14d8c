// The rules of the two image files, for every program that reads them: their sizes, and where
// Image 0 keeps its version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// No image is larger than this; the tool reads no more into its buffer.
inline constexpr uint64_t image_size_limit = 0x200000;
// Image 0, the SPI image: 512 KiB to 2 MiB.
inline constexpr uint64_t image0_min_size = 0x80000;
// Image 1, the ISP driver: 1 byte to 512 KiB.
inline constexpr uint64_t image1_max_size = 0x80000;

// Which size rule an image breaks.
enum class ImageSizeFault : uint8_t { none, over_limit, image0_too_small, image1_size };

// The rule that `size` breaks for Image 0 (`image0`) or Image 1; the general limit first.
[[nodiscard]] constexpr ImageSizeFault image_size_fault(bool image0, uint64_t size) {
    if (size > image_size_limit) {
        return ImageSizeFault::over_limit;
    }
    if (image0 && size < image0_min_size) {
        return ImageSizeFault::image0_too_small;
    }
    if (!image0 && (size > image1_max_size || size == 0)) {
        return ImageSizeFault::image1_size;
    }
    return ImageSizeFault::none;
}

// Image 0's version bytes: major, minor, revision and customer minor.
using ImageVersionBytes = std::array<uint8_t, 4>;

// Image 0 holds its version only when it is longer than this.
inline constexpr uint64_t image0_version_block_end = 0xFFFF2;

// The version bytes of Image 0 from its contents; none when Image 0 is too short to hold them.
[[nodiscard]] constexpr std::optional<ImageVersionBytes>
image0_version_bytes(std::span<const uint8_t> image0) {
    constexpr std::array<std::size_t, 4> offsets{0xFFFF0, 0xFFFED, 0xFFFEE, 0xFFFF1};
    if (image0.size() <= image0_version_block_end) {
        return std::nullopt;
    }
    ImageVersionBytes bytes{};
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        bytes[i] = image0[offsets[i]];
    }
    return bytes;
}
