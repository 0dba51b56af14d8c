// The chip operations against a device whose every reply, reply length and transfer result come
// from the fuzzer. Checks that a status reply shorter than asked is never taken as finished, that
// a register value is handed on only when it arrived whole, and that a flash write reports
// success only when every image byte was sent once, in order.
#include "chip_channel.h"
#include "flash_writer.h"
#include "pause.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <libusb.h>
#include <vector>

namespace {

struct Device {
    const uint8_t* input = nullptr;
    std::size_t left = 0;
    int last_in_moved = 0;           // bytes the last IN transfer delivered
    std::vector<uint8_t> last_in;    // and what they were
    std::vector<uint8_t> flash_data; // every byte of every data piece that was moved
    bool every_out_whole = true;     // no OUT transfer moved fewer bytes than its length
};

Device device;

// The next input byte; a good answer once the input is used up.
bool next(uint8_t* byte) {
    if (device.left == 0) {
        return false;
    }
    *byte = *device.input++;
    --device.left;
    return true;
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

libusb_device_handle* handle() {
    static int placeholder;
    return reinterpret_cast<libusb_device_handle*>(&placeholder);
}

} // namespace

void protocol_pause(uint32_t /*microseconds*/) {}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libusb's signature, which this replaces
extern "C" int libusb_control_transfer(libusb_device_handle* /*handle*/, uint8_t request_type,
                                       uint8_t request, uint16_t /*value*/, uint16_t index,
                                       unsigned char* data, uint16_t length,
                                       unsigned int /*timeout*/) {
    uint8_t control = 0;
    const bool given = next(&control);
    if (given && (control & 0xC0) == 0xC0) {
        return -1 - (control % 12); // a libusb error code
    }
    int moved = length;
    if ((request_type & 0x80) == 0) {
        if (given && (control & 0x80) != 0) {
            moved = control % (length + 1);
        }
        device.every_out_whole = device.every_out_whole && moved == length;
        if (request == 0xB8) {
            device.flash_data.insert(device.flash_data.end(), data, data + moved);
        }
        return moved;
    }
    if (given) {
        moved = std::min<int>(length, control & 0x0F);
    }
    if (index == 0xE7 && (!given || (control & 0x30) == 0)) {
        // A reply that says "finished", with its check byte right.
        std::memset(data, 0, length);
        uint8_t check = 0xB6;
        for (int i = 1; i <= 5 && i < length; ++i) {
            next(&data[i]);
            check ^= data[i];
        }
        if (length == 8) {
            data[6] = 0x0C;
            data[7] = static_cast<uint8_t>(check ^ 0x0C);
        }
    } else {
        for (int i = 0; i < moved; ++i) {
            next(&data[i]);
        }
    }
    device.last_in_moved = moved;
    device.last_in.assign(data, data + moved);
    return moved;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    device = Device{};
    const uint8_t operation = data[0];
    const std::size_t image_size = 1 + (std::size_t{data[1]} << 8 | data[2]) % 9000;
    device.input = data + 3;
    device.left = size - 3;

    switch (operation % 3) {
    case 0:
        if (read_chip_status(handle()) == ChipStatus::finished) {
            require(device.last_in_moved == 8);
        }
        break;
    case 1: {
        uint16_t value = 0x5A5A;
        if (Tovrela_Reg_Read(handle(), 0xE8, 0x1001, &value) == 1) {
            require(device.last_in_moved == 2);
            require(value == (device.last_in[0] << 8 | device.last_in[1]));
        } else {
            require(value == 0x5A5A);
        }
        break;
    }
    default: {
        FlashImage image;
        image.bytes = std::make_unique<uint8_t[]>(image_size);
        for (std::size_t i = 0; i < image_size; ++i) {
            image.bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        image.size = image_size;
        if (Tovrela_Flash_Write(handle(), 1, &image) == 1) {
            require(device.every_out_whole);
            require(device.flash_data.size() == image_size);
            require(
                std::equal(device.flash_data.begin(), device.flash_data.end(), image.bytes.get()));
        }
        break;
    }
    }
    return 0;
}
