#include "update_sequence.h"

#include "chip_channel.h"
#include "flash_writer.h"
#include "message_output.h"
#include "pause.h"

#include <cstdint>

namespace {

constexpr uint16_t control_register = 0x5000;
constexpr uint32_t settle_pause_us = 1000000;
constexpr uint8_t image0 = 0;
constexpr uint8_t image1 = 1;

// The steps in their order; each runs only after all before it succeeded.
int run_steps(libusb_device_handle* handle) {
    if (Tovrela_Reg_Write(handle, control_register, 0x0010) != 1) {
        return 0;
    }
    protocol_pause(settle_pause_us);
    if (Tovrela_Reg_Write(handle, control_register, 0x0011) != 1) {
        return 0;
    }
    if (Tovrela_Flash_Write(handle, image1) != 1) {
        return 0;
    }
    if (Tovrela_Reg_Write(handle, control_register, 0x0012) != 1) {
        return 0;
    }
    protocol_pause(settle_pause_us);
    if (Tovrela_Reg_Write(handle, control_register, 0x0020) != 1) {
        return 0;
    }
    if (Tovrela_Flash_Write(handle, image0) != 1) {
        return 0;
    }
    return Tovrela_Reg_Write(handle, control_register, 0x0110) == 1 ? 1 : 0;
}

} // namespace

int update_firmware(libusb_device_handle* handle) {
    const int result = run_steps(handle);
    print_message("\n===========================\n");
    print_message(result == 1 ? "= Tovrela_FW_Update_PASS. =\n" : "= Tovrela_FW_Update_FAIL. =\n");
    print_message("===========================\n");
    return result;
}
