// The two images of a run: found through "update.ini" as the tool finds them, checked once with
// the tool's size rules, held in memory, hashed (SHA-256, libcrypto) and compared with expected
// sums. The run's copies are written from these bytes, so what was checked is what is flashed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace line {

struct Image {
    std::string name; // as "update.ini" names it
    std::vector<uint8_t> bytes;
    std::string sha256; // lower-case hex
};

struct ImageSet {
    std::array<Image, 2> images;
    std::optional<std::string> image0_version; // "2.14.15.4"; none when Image 0 is too short
    std::string profile;                       // "update.ini" as read
};

// The copies' names inside the run's folder, and how a hub's folder names them.
inline constexpr std::array<const char*, 2> copy_names{"image0.bin", "image1.bin"};

// Reads "update.ini" at `profile_path` and both images it names. On a refusal, `error` holds
// one line for the user and the result is empty.
std::optional<ImageSet> load_images(const std::string& profile_path, std::string& error);

// The profile with both image entries pointing at the run's copies in the folder above.
std::string hub_profile(const std::string& profile);

// The size rules of each image (image_rules.h) as a reason: empty when the size is allowed.
std::string size_refusal(int image, std::size_t size);

std::string sha256_hex(std::span<const uint8_t> bytes);

// Image 0's version from its bytes near 1 MiB; none when Image 0 ends before them.
std::optional<std::string> image0_version(std::span<const uint8_t> bytes);

// Compares the sums with the lines of `sums` (as sha256sum writes them: sum, two blanks or a
// blank and '*', name); each image must be listed under its name or its file name. Empty when
// both match, else the reason.
std::string expected_sums_refusal(const ImageSet& set, const std::string& sums);

} // namespace line
