#include "images.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <openssl/evp.h>
#include <sstream>
#include <sys/stat.h>

namespace line {

namespace {

constexpr std::size_t image0_min = 0x80000;
constexpr std::size_t image0_max = 0x200000;
constexpr std::size_t image1_max = 0x80000;
constexpr std::array<const char*, 2> image_keys{"TovrelaBin0", "TovrelaBin1"};

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

// The index of the line that holds `key`'s entry, or -1.
long entry_line(const std::vector<std::string>& lines, std::string_view key) {
    bool in_section = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!in_section) {
            in_section = lines[i].find("[Config]") != std::string::npos;
            continue;
        }
        if (lines[i].find('[') != std::string::npos) {
            return -1;
        }
        if (lines[i].starts_with(key) && lines[i].size() > key.size() &&
            lines[i][key.size()] == '=') {
            return static_cast<long>(i);
        }
    }
    return -1;
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

std::optional<std::string> profile_value(const std::string& profile, std::string_view key) {
    const auto lines = lines_of(profile);
    const long at = entry_line(lines, key);
    if (at < 0) {
        return std::nullopt;
    }
    return lines[static_cast<std::size_t>(at)].substr(key.size() + 1);
}

std::string hub_profile(const std::string& profile) {
    auto lines = lines_of(profile);
    for (std::size_t image = 0; image < 2; ++image) {
        const long at = entry_line(lines, image_keys[image]);
        if (at >= 0) {
            lines[static_cast<std::size_t>(at)] =
                std::string(image_keys[image]) + "=../" + copy_names[image];
        }
    }
    std::string text;
    for (const auto& entry : lines) {
        text += entry + "\n";
    }
    return text;
}

std::string size_refusal(int image, std::size_t size) {
    const bool allowed =
        image == 0 ? size >= image0_min && size <= image0_max : size >= 1 && size <= image1_max;
    if (allowed) {
        return "";
    }
    return "Image " + std::to_string(image) + " has " + std::to_string(size) +
           " bytes; it must have " +
           (image == 0 ? "524288 to 2097152 bytes (512 KiB to 2 MiB)"
                       : "1 to 524288 bytes (at most 512 KiB)");
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
    // Major, minor, revision and customer minor, at their offsets near 1 MiB.
    constexpr std::array<std::size_t, 4> offsets{0xFFFF0, 0xFFFED, 0xFFFEE, 0xFFFF1};
    if (bytes.size() <= 0xFFFF1) {
        return std::nullopt;
    }
    std::string text;
    for (const std::size_t offset : offsets) {
        text += (text.empty() ? "" : ".") + std::to_string(bytes[offset]);
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
        auto name = profile_value(set.profile, image_keys[static_cast<std::size_t>(image)]);
        if (!name || name->empty()) {
            error = "\"";
            error.append(profile_path)
                .append("\" names no ")
                .append(image_keys[static_cast<std::size_t>(image)])
                .append(" in its [Config] section");
            return std::nullopt;
        }
        auto bytes = read_file(*name, error);
        if (!bytes) {
            error.insert(0, "Image " + std::to_string(image) + ": ");
            return std::nullopt;
        }
        if (std::string refusal = size_refusal(image, bytes->size()); !refusal.empty()) {
            error = refusal + " (" + *name + ")";
            return std::nullopt;
        }
        Image& target = set.images[static_cast<std::size_t>(image)];
        target.name = *name;
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
