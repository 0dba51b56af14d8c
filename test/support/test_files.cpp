#include "test_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace test_files {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovrela-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    if (!previous_cwd_.empty()) {
        std::filesystem::current_path(previous_cwd_);
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::enter() {
    if (previous_cwd_.empty()) {
        previous_cwd_ = std::filesystem::current_path().string();
    }
    std::filesystem::current_path(path_);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
}

void TempDir::write(const std::string& name, const std::vector<uint8_t>& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> pattern_bytes(std::size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

void put_image0_version(std::vector<uint8_t>& image0, const std::array<uint8_t, 4>& version) {
    image0.at(0xFFFF0) = version[0];
    image0.at(0xFFFED) = version[1];
    image0.at(0xFFFEE) = version[2];
    image0.at(0xFFFF1) = version[3];
}

} // namespace test_files
