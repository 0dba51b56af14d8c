#include "update_sequence.h"

#include "chip_channel.h"
#include "flash_writer.h"
#include "message_output.h"
#include "pause.h"
#include "result_codes.h"
#include "stop_signals.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr uint16_t control_register = 0x5000;
constexpr uint32_t settle_pause_us = 1000000;
constexpr uint8_t image0 = 0;
constexpr uint8_t image1 = 1;

// One write of the control register. rc::done when it was confirmed and no stop signal is
// pending; after a stop signal, rc::failed with the stop line.
int write_control(libusb_device_handle* handle, uint16_t value) {
    if (Tovrela_Reg_Write(handle, control_register, value) != rc::done) {
        return rc::failed;
    }
    if (stop_signal() != 0) {
        report_stop("after register %04X=%04X%s", control_register, value, flash_incomplete);
        return rc::failed;
    }
    return rc::done;
}

// One image's turn: the control register values that prepare the chip for it and open its
// window, with the settle pause between them, then the image's blocks.
struct ImageTurn {
    uint16_t prepare;
    uint16_t open;
    uint8_t image;
};
constexpr ImageTurn image1_turn{0x0010, 0x0011, image1};
constexpr ImageTurn image0_turn{0x0012, 0x0020, image0};

// Runs the turn with the loaded image. rc::done when every step succeeded.
int flash_turn(libusb_device_handle* handle, const ImageTurn& turn, const FlashImage* loaded) {
    if (write_control(handle, turn.prepare) != rc::done) {
        return rc::failed;
    }
    protocol_pause(settle_pause_us);
    if (write_control(handle, turn.open) != rc::done) {
        return rc::failed;
    }
    return Tovrela_Flash_Write(handle, turn.image, loaded) == rc::done ? rc::done : rc::failed;
}

// The steps in their order; each runs only after all before it succeeded. Both images are read
// and checked before the chip is touched, so that a bad Image 0 cannot leave the chip with a new
// Image 1 and no Image 0, and the bytes sent are those that were checked.
int run_steps(libusb_device_handle* handle, bool* touched) {
    FlashImage first;
    FlashImage second;
    if (load_flash_image(image1, &first) != rc::done ||
        load_flash_image(image0, &second) != rc::done) {
        return rc::failed;
    }
    if (stop_signal() != 0) {
        report_stop("before the first register write; the chip was not touched");
        return rc::failed;
    }
    *touched = true;
    if (flash_turn(handle, image1_turn, &first) != rc::done ||
        flash_turn(handle, image0_turn, &second) != rc::done) {
        return rc::failed;
    }
    return Tovrela_Reg_Write(handle, control_register, 0x0110);
}

} // namespace

int update_firmware(libusb_device_handle* handle) {
    bool touched = false;
    const int result = run_steps(handle, &touched);
    if (result != rc::done && touched && !stop_reported()) {
        // A transfer failed or the chip stopped answering: say what that leaves, as a stop does.
        print_problem("tovrela-update: the update stopped after the chip was touched; the chip's "
                      "flash is incomplete: run the update again once the hub is back\n");
    }
    print_message("\n===========================\n");
    print_message(result == rc::done ? "= Tovrela_FW_Update_PASS. =\n"
                                     : "= Tovrela_FW_Update_FAIL. =\n");
    print_message("===========================\n");
    return result;
}
