#include "vendor_requests.h"

#include "message_output.h"
#include "result_codes.h"
#include "tool_events.h"

namespace {

// Vendor request, recipient device: host to device and device to host.
constexpr uint8_t request_type_out = 0x40;
constexpr uint8_t request_type_in = 0xC0;
constexpr unsigned int transfer_timeout_ms = 1000;

} // namespace

int i2c_write_cmd(libusb_device_handle* handle, uint8_t request, uint16_t length,
                  const uint8_t* data) {
    // libusb takes a mutable pointer for both directions; an OUT transfer only reads it.
    int result = libusb_control_transfer(handle, request_type_out, request, 0, 0,
                                         const_cast<uint8_t*>(data), length, transfer_timeout_ms);
    if (result < 0) {
        print_failure(result, "I2C-WriteCmd %02X Fail %d\n", request, result);
        return rc::failed;
    }
    if (result < length) {
        // Part of a frame is no frame: the chip must never be taken to have received it.
        print_failure(0, "I2C-WriteCmd %02X Short %d of %d\n", request, result, length);
        return rc::failed;
    }
    return rc::done;
}

int i2c_read_cmd(libusb_device_handle* handle, uint8_t request, uint8_t index, uint16_t length,
                 uint8_t* buffer, int* received) {
    int result = libusb_control_transfer(handle, request_type_in, request, 0, index, buffer, length,
                                         transfer_timeout_ms);
    if (received != nullptr) {
        *received = result < 0 ? 0 : result;
    }
    if (result < 0) {
        print_failure(result, "I2C-ReadCmd %02X Fail %d\n", request, result);
        return rc::failed;
    }
    return rc::done;
}
