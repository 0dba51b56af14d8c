// Entry point: banner, settings, then the self test or one chip operation on the selected hub.
#include "fw_version.h"
#include "hub_selection.h"
#include "message_output.h"
#include "result_codes.h"
#include "settings.h"
#include "stop_signals.h"
#include "tool_info.h"
#include "update_sequence.h"

#include <libusb.h>
#include <string_view>

namespace {

// clang-format off
constexpr std::string_view banner[] = {
    "========================================\n",
    "=   EZU Tovrela I2C Update Tool v0.0   =\n",
    "=                                      =\n",
    "=      Linux port: tovrela-update      =\n",
    "=               2022.03.28             =\n",
    "========================================\n",
};
// clang-format on

constexpr bool banner_lines_are_40_wide() {
    for (auto line : banner) {
        if (line.size() != 41 || line.front() != '=' || line[39] != '=') {
            return false;
        }
    }
    return true;
}
static_assert(banner_lines_are_40_wide());

// The operation of the three status-printing modes: rc::done or rc::failed.
int run_status_operation(libusb_device_handle* handle) {
    if (gSettings.gReadVerOnly != 0) {
        return read_device_version(handle, nullptr);
    }
    if (gSettings.gReadBinOnly != 0) {
        return read_image_version(nullptr);
    }
    return update_firmware(handle);
}

} // namespace

int main(int argc, char** argv) {
    if (int info = print_tool_info(argc, argv); info >= 0) {
        return info;
    }

    // A closed standard output is an output error, never the end of an update.
    ignore_broken_pipe();
    for (auto line : banner) {
        print_message("%.*s", static_cast<int>(line.size()), line.data());
    }

    // The result is not needed: whatever stops the load early (an image that does not open, no
    // arguments, no memory for their text) leaves the remaining settings at their defaults, and
    // the run goes on with them.
    (void)load_settings(argc, argv);

    if (gSettings.gSelfTest != 0) {
        return run_self_tests();
    }

    int result = libusb_init(nullptr);
    if (result < 0) {
        print_message("libusb_init failed %d\n", result);
        return result;
    }

    TargetDevice target;
    result = find_target_device(&target);
    if (result != rc::ok) {
        print_message("target device not found %d\n", result);
        return result;
    }

    // From the open to the close, a stop signal lets the chip step in progress finish.
    hold_stop_signals();
    bool completed = false; // the operation ran to its end and succeeded
    libusb_device_handle* handle = nullptr;
    result = libusb_open(target.device, &handle);
    if (result >= 0 && lock_hub(target.device) != rc::done) {
        // Another tool process is talking to this hub: touch nothing, and fail as a busy open.
        libusb_close(handle);
        result = LIBUSB_ERROR_BUSY;
    }
    if (result < 0) {
        print_message("liusb_open failed %s(%d)\n", libusb_error_name(result), result);
        if (result == LIBUSB_ERROR_ACCESS) {
            print_access_hint();
        }
    } else {
        if (gSettings.gCheckUpdateOnly != 0) {
            result = check_fw_update(handle);
            completed = result == update_check::available || result == update_check::up_to_date;
        } else {
            int status = run_status_operation(handle);
            print_message("Status=0x%x\n", static_cast<unsigned>(status));
            // A failed operation must not read as success to the scripts that call the tool.
            if (status != rc::done) {
                result = 1;
            }
            completed = status == rc::done;
        }
        libusb_close(handle);
        unlock_hub();
    }
    release_stop_signals();

    release_device_list();
    libusb_exit(nullptr);
    if (const int number = stop_signal(); number != 0 && !completed) {
        // The shell's convention for a process ended by a signal. A signal that came during the
        // last step, which then finished, stopped nothing: the result stands.
        return 128 + number;
    }
    return result;
}
