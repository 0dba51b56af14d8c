#include "images.h"

#include "image_rules.h"
#include "profile_lines.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <openssl/evp.h>
#include <sstream>
#include <sys/stat.h>

namespace line {

namespace {

constexpr std::array<const char*, 2> image_keys{"TovrelaBin0", "TovrelaBin1"};
constexpr std::string_view profile_section = "Config";

// The profile's lines, each without its "\n" (as the tool's reader strips it).
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::optional<std::string> read_file(const std::string& path, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "\"" + path + "\" is not a readable file";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !in.is_open()) {
        error = "\"" + path + "\" cannot be read";
        return std::nullopt;
    }
    return text;
}

std::string file_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

std::string hub_profile(const std::string& profile) {
    auto lines = lines_of(profile);
    for (std::size_t image = 0; image < 2; ++image) {
        if (const auto entry = find_profile_line(profile, profile_section, image_keys[image])) {
            lines[entry->line - 1] = std::string(image_keys[image]) + "=../" + copy_names[image];
        }
    }
    std::string text;
    for (const auto& entry : lines) {
        text += entry + "\n";
    }
    return text;
}

std::string size_refusal(int image, std::size_t size) {
    if (image_size_fault(image == 0, size) == ImageSizeFault::none) {
        return "";
    }
    return "Image " + std::to_string(image) + " has " + std::to_string(size) +
           " bytes; it must have " +
           (image == 0 ? std::to_string(image0_min_size) + " to " +
                             std::to_string(image_size_limit) + " bytes (512 KiB to 2 MiB)"
                       : "1 to " + std::to_string(image1_max_size) + " bytes (at most 512 KiB)");
}

std::string sha256_hex(std::span<const uint8_t> bytes) {
    const std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        return "";
    }
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", digest[i]);
        hex += pair.data();
    }
    return hex;
}

std::optional<std::string> image0_version(std::span<const uint8_t> bytes) {
    const auto version = image0_version_bytes(bytes);
    if (!version) {
        return std::nullopt;
    }
    std::string text;
    for (const uint8_t byte : *version) {
        text += (text.empty() ? "" : ".") + std::to_string(byte);
    }
    return text;
}

std::optional<ImageSet> load_images(const std::string& profile_path, std::string& error) {
    ImageSet set;
    auto profile = read_file(profile_path, error);
    if (!profile) {
        return std::nullopt;
    }
    set.profile = std::move(*profile);
    for (int image = 0; image < 2; ++image) {
        const char* key = image_keys[static_cast<std::size_t>(image)];
        const auto entry = find_profile_line(set.profile, profile_section, key);
        if (entry && entry->too_long) {
            error = "\"" + profile_path + "\": the line of " + key + " is longer than " +
                    std::to_string(profile_line_limit) + " characters";
            return std::nullopt;
        }
        const std::string name(entry ? profile_path_value(entry->value) : "");
        if (name.empty()) {
            error = "\"" + profile_path + "\" names no " + key + " in its [Config] section";
            return std::nullopt;
        }
        // The size is checked before the file is read (a huge file is never read) and again on
        // what was read.
        const auto refused = [&](std::size_t size) {
            error = size_refusal(image, size);
            error += error.empty() ? "" : " (" + name + ")";
            return !error.empty();
        };
        struct stat info {};
        if (stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            refused(static_cast<std::size_t>(info.st_size))) {
            return std::nullopt;
        }
        auto bytes = read_file(name, error);
        if (!bytes) {
            error.insert(0, "Image " + std::to_string(image) + ": ");
            return std::nullopt;
        }
        if (refused(bytes->size())) {
            return std::nullopt;
        }
        Image& target = set.images[static_cast<std::size_t>(image)];
        target.name = name;
        target.bytes.assign(bytes->begin(), bytes->end());
        target.sha256 = sha256_hex(target.bytes);
    }
    set.image0_version = image0_version(set.images[0].bytes);
    return set;
}

std::string expected_sums_refusal(const ImageSet& set, const std::string& sums) {
    for (int image = 0; image < 2; ++image) {
        const Image& wanted = set.images[static_cast<std::size_t>(image)];
        std::optional<std::string> expected;
        std::istringstream lines(sums);
        for (std::string entry; std::getline(lines, entry);) {
            if (entry.ends_with('\r')) {
                entry.pop_back(); // a sums file with CR LF line ends
            }
            if (entry.size() < 67 ||
                (entry.compare(64, 2, "  ") != 0 && entry.compare(64, 2, " *") != 0)) {
                continue;
            }
            const std::string name = entry.substr(66);
            if (name == wanted.name || file_name(name) == file_name(wanted.name)) {
                expected = entry.substr(0, 64);
            }
        }
        std::string lower = expected.value_or("");
        for (char& c : lower) {
            c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        }
        if (!expected) {
            return "Image " + std::to_string(image) + " (" + wanted.name + ") has no sum listed";
        }
        if (lower != wanted.sha256) {
            return "Image " + std::to_string(image) + " (" + wanted.name + ") has the SHA-256 " +
                   wanted.sha256 + ", not the expected " + *expected;
        }
    }
    return "";
}

} // namespace line
