// Preloaded into the tool: damages one control transfer on its way out, as a faulty tool would,
// chosen by TOVRELA_TRANSFER_FAULT:
//   split:NTH        the NTH data piece (request B8) goes as two pieces, its halves
//   swallow:REQ:NTH  the NTH out request with code REQ (hex) is never sent, but reported sent
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace {

using control_function = int (*)(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t,
                                 unsigned char*, uint16_t, unsigned int);

struct Plan {
    bool split = false;
    unsigned request = 0;
    unsigned nth = 0;
    unsigned seen = 0;
};

Plan read_plan() {
    Plan plan;
    const char* text = std::getenv("TOVRELA_TRANSFER_FAULT");
    if (text == nullptr) {
        return plan;
    }
    if (std::sscanf(text, "split:%u", &plan.nth) == 1) {
        plan.split = true;
        plan.request = 0xB8;
    } else if (std::sscanf(text, "swallow:%x:%u", &plan.request, &plan.nth) != 2) {
        plan = {};
    }
    return plan;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int
libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request,
                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                        unsigned int timeout) {
    static Plan plan = read_plan();
    static auto real = reinterpret_cast<control_function>(dlsym(RTLD_NEXT, __func__));
    const bool out = (request_type & 0x80) == 0;
    if (!out || plan.nth == 0 || request != plan.request || ++plan.seen != plan.nth) {
        return real(handle, request_type, request, value, index, data, length, timeout);
    }
    if (!plan.split) {
        return length;
    }
    const auto first = static_cast<uint16_t>(length / 2);
    int sent = real(handle, request_type, request, value, index, data, first, timeout);
    if (sent != first) {
        return sent;
    }
    sent = real(handle, request_type, request, value, index, data + first,
                static_cast<uint16_t>(length - first), timeout);
    return sent < 0 ? sent : first + sent;
}
