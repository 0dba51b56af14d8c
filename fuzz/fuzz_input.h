// Splitting one fuzzer input into the pieces a target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_input {

// Splits the input at zero bytes; the pieces keep every other byte.
inline std::vector<std::string> split(const uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(static_cast<char>(data[i]));
        }
    }
    return pieces;
}

// A working directory of this process's own, made once.
std::string scratch_dir();

} // namespace fuzz_input
