// Temporary working directories and files for tests that read or write real files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_files {

// A fresh directory under the system's temporary directory, removed with its content on
// destruction. While `enter` is in force the process works in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Makes this directory the working directory until the object dies.
    void enter();

    void write(const std::string& name, const std::string& content) const;
    void write(const std::string& name, const std::vector<uint8_t>& content) const;
    std::string read(const std::string& name) const;

  private:
    std::string path_;
    std::string previous_cwd_;
};

// `size` bytes of a fixed pseudo-random pattern that depends on `seed`.
std::vector<uint8_t> pattern_bytes(std::size_t size, uint32_t seed);

// Puts `version` (major, minor, revision, customer minor) in the version block of `image0`, an
// Image 0 of 1 MiB or more.
void put_image0_version(std::vector<uint8_t>& image0, const std::array<uint8_t, 4>& version);

} // namespace test_files
