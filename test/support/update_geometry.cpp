#include "update_geometry.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace update_geometry {

unsigned ordinal(uint8_t request, Step step, std::size_t block, std::size_t piece, Sizes sizes) {
    constexpr std::array steps{Step::write_0010, Step::write_0011, Step::image1,
                               Step::write_0012, Step::write_0020, Step::image0,
                               Step::write_0110};
    unsigned count = 0;
    for (const Step now : steps) {
        const bool image = now == Step::image0 || now == Step::image1;
        const std::size_t size = now == Step::image0 ? sizes.image0 : sizes.image1;
        for (std::size_t b = 0; b < (image ? blocks(size) : 1); ++b) {
            const bool here = now == step && b == block;
            // A command: its frame (B2), for a block its header, pieces and CRC, then a status
            // read.
            if (request == command_frame || request == status_read ||
                (image && request != data_piece)) {
                ++count;
            } else if (image) {
                const std::size_t length = std::min(block_size, size - b * block_size);
                const std::size_t pieces = (length + piece_size - 1) / piece_size;
                if (here) {
                    return piece < pieces ? count + static_cast<unsigned>(piece) + 1 : 0;
                }
                count += static_cast<unsigned>(pieces);
            }
            if (here) {
                return image || request == command_frame || request == status_read ? count : 0;
            }
        }
    }
    return 0;
}

std::string request_at(uint8_t request, Step step, std::size_t block, std::size_t piece,
                       Sizes sizes) {
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%u", request,
                  ordinal(request, step, block, piece, sizes));
    return text;
}

} // namespace update_geometry
