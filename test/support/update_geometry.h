// The shape of a full update as the tool sends it, written once for the tests that aim at one of
// its requests (the simulator's --fault and --signal, the preloaded transfer faults) or count its
// steps: the block and piece sizes, and where a request falls among those of its code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace update_geometry {

constexpr std::size_t block_size = 4096; // a flash block; an image's last block may be shorter
constexpr std::size_t piece_size = 32;   // a data piece (B8); a block's last piece may be shorter

// The hub's request codes.
constexpr uint8_t status_read = 0xA3;
constexpr uint8_t command_frame = 0xB2;
constexpr uint8_t block_header = 0xB7;
constexpr uint8_t data_piece = 0xB8;
constexpr uint8_t crc_frame = 0xB9;

// The steps of a full update in their order: the writes of register 0x5000 and the two images.
enum class Step { write_0010, write_0011, image1, write_0012, write_0020, image0, write_0110 };

struct Sizes {
    std::size_t image0;
    std::size_t image1;
};

// The default images of the tests: Image 1 of three full blocks and one of 33 bytes (its last
// piece 1 byte), Image 0 of 512 KiB, the smallest allowed.
constexpr Sizes default_sizes{0x80000, 3 * block_size + 33};

constexpr std::size_t blocks(std::size_t image_size) {
    return (image_size + block_size - 1) / block_size;
}

// The ordinal (1-based, as --fault, --signal and the transfer faults count) among the requests
// with code `request` of the one that `step` sends, in a full update of images of `sizes` on a
// chip that reports each command finished at its first status read. For an image: its block
// `block`, and for B8 that block's piece `piece` (both 0-based). 0 when the step sends no such
// request.
unsigned ordinal(uint8_t request, Step step, std::size_t block = 0, std::size_t piece = 0,
                 Sizes sizes = default_sizes);

// "rr:N": that request as --fault, --signal and the transfer faults name it.
std::string request_at(uint8_t request, Step step, std::size_t block = 0, std::size_t piece = 0,
                       Sizes sizes = default_sizes);

} // namespace update_geometry
