// The chip operations against a device whose every reply, reply length and transfer result come
// from the fuzzer. Checks that a status reply shorter than asked is never taken as finished, that
// a register value is handed on only when it arrived whole, and that a flash write reports
// success only when every image byte was sent once, in order.
// The device is the tests' stand-in (test/support/test_device.cpp), answering through the
// fuzzer's input instead of the chip; its record of the transfers is what the checks read.
#include "chip_channel.h"
#include "flash_writer.h"
#include "test_device.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <libusb.h>
#include <vector>

namespace {

struct Input {
    const uint8_t* next = nullptr;
    std::size_t left = 0;
};

Input input;

// The next input byte; a good answer once the input is used up.
bool next(uint8_t* byte) {
    if (input.left == 0) {
        return false;
    }
    *byte = *input.next++;
    --input.left;
    return true;
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One control byte per request, when the input has one: an error, a short transfer, and for a
// status request a "finished" reply with its check byte right or bytes of the input.
int answer(uint8_t request_type, uint8_t /*request*/, uint16_t index, unsigned char* data,
           uint16_t length) {
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
    return moved;
}

const chip_model::Transfer& last_transfer() {
    return test_device::chip().history.transfers.back();
}

// True when no OUT transfer moved fewer bytes than its length.
bool every_out_whole() {
    return std::ranges::all_of(test_device::chip().history.transfers,
                               [](const chip_model::Transfer& t) {
                                   return (t.request_type & 0x80) != 0 || t.result == t.length;
                               });
}

// Every byte of every data piece (request B8) that was moved, in order.
std::vector<uint8_t> flash_data() {
    std::vector<uint8_t> bytes;
    for (const auto& t : test_device::chip().history.transfers) {
        if ((t.request_type & 0x80) == 0 && t.request == 0xB8) {
            bytes.insert(bytes.end(), t.data.begin(), t.data.end());
        }
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    test_device::reset();
    test_device::answer_with(answer);
    const uint8_t operation = data[0];
    const std::size_t image_size = 1 + (std::size_t{data[1]} << 8 | data[2]) % 9000;
    input = Input{data + 3, size - 3};

    switch (operation % 3) {
    case 0:
        if (read_chip_status(test_device::handle()) == ChipStatus::finished) {
            require(last_transfer().result == 8);
        }
        break;
    case 1: {
        uint16_t value = 0x5A5A;
        if (Tovrela_Reg_Read(test_device::handle(), 0xE8, 0x1001, &value) == 1) {
            const chip_model::Transfer& reply = last_transfer();
            require(reply.result == 2);
            require(value == (reply.data[0] << 8 | reply.data[1]));
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
        if (Tovrela_Flash_Write(test_device::handle(), 1, &image) == 1) {
            require(every_out_whole());
            const std::vector<uint8_t> sent = flash_data();
            require(sent.size() == image_size);
            require(std::equal(sent.begin(), sent.end(), image.bytes.get()));
        }
        break;
    }
    }
    return 0;
}
