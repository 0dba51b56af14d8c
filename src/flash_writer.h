// Programming one image file into the chip's flash, block by block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <libusb.h>
#include <memory>

// CRC-16, polynomial 0x1021, initial value 0x1021, no reflection, no final XOR.
[[nodiscard]] uint16_t flash_block_crc(const uint8_t* bytes, std::size_t count);

// One image read whole and found within its size rules.
struct FlashImage {
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
};

// The size rules of an image to be flashed, which the image read applies too: its size error
// line ("  BinFile Size Error" above the general limit), or null when the size is right.
[[nodiscard]] const char* image_size_refusal(bool image0, uint64_t size);

// Opens, measures, checks against its size rules and reads Image 0 (selector 0) or Image 1 (any
// other value). rc::done with `image` filled; rc::failed after the reason ("!!!Open BinFile %d
// Fail", a size error, "!!!Read BinFile ..."), preceded by the size line when detail lines are on.
// An empty Image 1 is refused too: it would leave the chip without its Image 1.
[[nodiscard]] int load_flash_image(uint8_t selector, FlashImage* image);

// selector 0 writes Image 0, any other value Image 1. rc::done when every block was confirmed,
// else rc::failed. The image is `loaded` when given (from load_flash_image), else the writer
// loads it itself. Stops after a confirmed block when a stop signal was remembered, with the
// stop line.
[[nodiscard]] int Tovrela_Flash_Write(libusb_device_handle* handle, uint8_t selector,
                                      const FlashImage* loaded = nullptr);
