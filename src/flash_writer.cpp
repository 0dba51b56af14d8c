#include "flash_writer.h"

#include "chip_channel.h"
#include "file_access.h"
#include "message_output.h"
#include "pause.h"
#include "result_codes.h"
#include "settings.h"
#include "stop_signals.h"
#include "tool_events.h"
#include "vendor_requests.h"

#include <algorithm>
#include <array>
#include <cinttypes>

namespace {

constexpr uint64_t block_size = 0x1000;
constexpr uint64_t piece_size = 0x20;

// Prepares the chip for each flash block: the command C2 00 00 03 10.
constexpr std::array<uint8_t, 5> prepare_payload{0xC2, 0x00, 0x00, 0x03, 0x10};
constexpr std::array<uint8_t, 9> prepare_frame = command_frame(prepare_payload);

constexpr uint16_t crc_polynomial = 0x1021;
constexpr uint16_t crc_initial = 0x1021;

constexpr uint32_t crc_pause_us = 123000;

void put_be32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// Sends one block: prepare frame, header, data pieces and CRC frame. rc::done when all were sent.
int send_block(libusb_device_handle* handle, const uint8_t* bytes, uint32_t offset,
               uint32_t length) {
    if (i2c_write_cmd(handle, hub_request::command_frame, prepare_frame.size(),
                      prepare_frame.data()) != rc::done) {
        return rc::failed;
    }
    note_command_open(true);
    const uint16_t crc = flash_block_crc(bytes, length);

    std::array<uint8_t, 9> header{};
    header[0] = chip_command_write;
    put_be32(&header[1], offset);
    put_be32(&header[5], length);
    if (i2c_write_cmd(handle, hub_request::address, header.size(), header.data()) != rc::done) {
        return rc::failed;
    }

    for (uint32_t sent = 0; sent < length;) {
        const auto piece = static_cast<uint16_t>(std::min<uint64_t>(length - sent, piece_size));
        if (i2c_write_cmd(handle, hub_request::flash_data, piece, bytes + sent) != rc::done) {
            return rc::failed;
        }
        sent += piece;
    }

    const std::array<uint8_t, 4> crc_frame{0x00, 0x00, static_cast<uint8_t>(crc >> 8),
                                           static_cast<uint8_t>(crc & 0xFF)};
    return i2c_write_cmd(handle, hub_request::flash_crc, crc_frame.size(), crc_frame.data());
}

void print_size_line(uint64_t size) {
    if (verbose_detail()) {
        print_message("TotalByte: 0x%llX = %llu KB\n", static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(size / 1024));
    }
}

} // namespace

const char* image_size_refusal(bool image0, uint64_t size) {
    switch (image_size_fault(image0, size)) {
    case ImageSizeFault::none:
        break;
    case ImageSizeFault::over_limit:
        return "  BinFile Size Error\n";
    case ImageSizeFault::image0_too_small:
        return "  BinFile0 Size Error\n";
    case ImageSizeFault::image1_size:
        return "  BinFile1 Size Error\n";
    }
    return nullptr;
}

namespace {

// After a block was sent: the CRC pause, then the chip's status until it reports the block
// written. rc::done when it did.
int confirm_block(libusb_device_handle* handle) {
    protocol_pause(crc_pause_us);
    unsigned not_finished = 0;
    const PollOutcome block = poll_chip_status(handle, 0, &not_finished);
    if (block == PollOutcome::transfer_failed) {
        return rc::failed;
    }
    if (block == PollOutcome::timed_out) {
        print_failure(0, "\nTovrela_FFW_Tout\n");
        print_message("\t read-loop = %X\n", not_finished);
        print_message("\n");
        return rc::failed;
    }
    return rc::done;
}

// Sends the image block by block, each confirmed before the next, with the progress line. Stops
// after a confirmed block when a stop signal was remembered. rc::done when every block was
// confirmed.
int send_image(libusb_device_handle* handle, uint8_t selector, const FlashImage& image) {
    const uint64_t size = image.size;
    const uint64_t blocks = (size + block_size - 1) / block_size;
    const int image_number = selector == 0 ? 0 : 1;
    event_image(image_number, size, blocks);
    uint64_t shown_percent = 0;
    for (uint64_t offset = 0; offset < size; offset += block_size) {
        const auto length = static_cast<uint32_t>(std::min(size - offset, block_size));
        if (send_block(handle, image.bytes.get() + offset, static_cast<uint32_t>(offset), length) !=
            rc::done) {
            return rc::failed;
        }

        const uint64_t percent = offset * 100 / size;
        if (percent > shown_percent) {
            print_message("\rprogress=%02d%%", static_cast<int>(percent));
            shown_percent = percent;
        }

        if (confirm_block(handle) != rc::done) {
            return rc::failed;
        }
        event_block(image_number, offset / block_size + 1, blocks);
        if (stop_signal() != 0) {
            print_message("\n");
            report_stop("after block %" PRIu64 " of %" PRIu64 " of Image %d (offset 0x%" PRIX64
                        ")%s",
                        offset / block_size + 1, blocks, image_number, offset, flash_incomplete);
            return rc::failed;
        }
    }
    print_message("\n");
    // An image without blocks was never written.
    return size > 0 ? rc::done : rc::failed;
}

} // namespace

uint16_t flash_block_crc(const uint8_t* bytes, std::size_t count) {
    uint16_t crc = crc_initial;
    for (std::size_t i = 0; i < count; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool data_bit = ((bytes[i] >> bit) & 1) != 0;
            const bool top_bit = (crc & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (data_bit != top_bit) {
                crc ^= crc_polynomial;
            }
        }
    }
    return crc;
}

int load_flash_image(uint8_t selector, FlashImage* image) {
    const bool image0 = selector == 0;
    const char* path = image0 ? gSettings.gTovrelaBin0.data() : gSettings.gTovrelaBin1.data();
    File file = open_image_file(path);
    if (!file) {
        print_failure(0, "!!!Open BinFile %d Fail\n", selector);
        return rc::failed;
    }

    // The length is taken whole: a file of 4 GiB or more must not pass as a small one.
    const uint64_t size = file_length(file.get());
    if (const char* refusal = image_size_refusal(image0, size); refusal != nullptr) {
        print_size_line(size);
        print_failure(0, "%s", refusal);
        return rc::failed;
    }

    image->bytes = read_image_content(file.get(), size, selector);
    image->size = size;
    return image->bytes ? rc::done : rc::failed;
}

int Tovrela_Flash_Write(libusb_device_handle* handle, uint8_t selector, const FlashImage* loaded) {
    print_message("Tovrela_Flash_Write FW%d\n", selector);

    FlashImage own;
    if (loaded == nullptr) {
        if (load_flash_image(selector, &own) != rc::done) {
            return rc::failed;
        }
        loaded = &own;
    }
    print_size_line(loaded->size);
    return send_image(handle, selector, *loaded);
}
