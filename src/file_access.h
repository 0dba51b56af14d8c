// Files the tool reads: image files (and the profile) opened, measured and read safely.
#pragma once

#include "file.h"
#include "image_rules.h"

#include <cstdint>
#include <cstdio>
#include <memory>

// Opens an image file for reading ("rb"). Only a regular file (or a link to one) is opened, and
// the open never blocks: a directory, a FIFO or a device gives null, like a missing file.
[[nodiscard]] File open_image_file(const char* path);

// The length of an open file, found by seeking to its end; the position is back at the start
// afterwards. A length that cannot be found reads as the largest number, which no limit accepts.
[[nodiscard]] uint64_t file_length(std::FILE* file);

// The largest image the tool reads.
constexpr uint64_t image_buffer_size = image_size_limit;

// Reads `size` bytes (at most image_buffer_size) of the file into a new buffer of that size. Null
// after a line naming the image ("BinFile %d") when the buffer cannot be had or the file delivers
// fewer bytes than `size`; null without a line when `size` is above the limit.
[[nodiscard]] std::unique_ptr<uint8_t[]> read_image_content(std::FILE* file, uint64_t size,
                                                            int image);
