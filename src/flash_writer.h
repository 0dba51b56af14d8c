// Programming one image file into the chip's flash, block by block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <libusb.h>

// CRC-16, polynomial 0x1021, initial value 0x1021, no reflection, no final XOR.
uint16_t flash_block_crc(const uint8_t* bytes, std::size_t count);

// selector 0 writes Image 0, any other value Image 1. 1 when every block was confirmed.
int Tovrela_Flash_Write(libusb_device_handle* handle, uint8_t selector);
