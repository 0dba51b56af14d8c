// Entry point: banner, settings, then the self test or one chip operation on the selected hub.
#include "fw_version.h"
#include "hub_selection.h"
#include "message_output.h"
#include "result_codes.h"
#include "settings.h"
#include "stop_signals.h"
#include "tool_events.h"
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

// What came of the run on the hub: the exit status, and whether the operation ran to its end and
// succeeded.
struct Outcome {
    int status = 0;
    bool completed = false;
};

// The operation of the chosen mode on the open and locked hub.
Outcome run_operation(libusb_device_handle* handle) {
    if (gSettings.gCheckUpdateOnly != 0) {
        const int result = check_fw_update(handle);
        return {result, result == update_check::available || result == update_check::up_to_date};
    }
    const int status = run_status_operation(handle);
    print_message("Status=0x%x\n", static_cast<unsigned>(status));
    // A failed operation must not read as success to the scripts that call the tool, and neither
    // must a version or image read whose answer never reached them.
    const bool answer_lost =
        (gSettings.gReadVerOnly != 0 || gSettings.gReadBinOnly != 0) && console_failed();
    return {status == rc::done && !answer_lost ? 0 : 1, status == rc::done};
}

// Opens and locks the hub, runs the operation and closes the hub again. A failed open, or a hub
// that another tool process holds, ends with libusb's error code.
Outcome run_on_hub(libusb_device* device) {
    libusb_device_handle* handle = nullptr;
    int result = libusb_open(device, &handle);
    if (result >= 0 && lock_hub(device) != rc::done) {
        // Another tool process is talking to this hub: touch nothing, and fail as a busy open.
        libusb_close(handle);
        result = LIBUSB_ERROR_BUSY;
    }
    if (result < 0) {
        print_failure(result, "liusb_open failed %s(%d)\n", libusb_error_name(result), result);
        if (result == LIBUSB_ERROR_ACCESS) {
            print_access_hint();
        }
        return {result, false};
    }
    const Outcome outcome = run_operation(handle);
    libusb_close(handle);
    unlock_hub();
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    if (int info = print_tool_info(argc, argv); info >= 0) {
        return info;
    }
    // A slip on the command line stops the tool before anything is opened.
    if (check_command_line(argc, argv) != rc::ok) {
        return tool_exit::usage;
    }

    // A closed standard output is an output error, never the end of an update.
    ignore_broken_pipe();
    for (auto line : banner) {
        print_message("%.*s", static_cast<int>(line.size()), line.data());
    }

    // Whatever else stops the load early (an image that does not open, no arguments) leaves the
    // remaining settings at their defaults, and the run goes on with them; a refused profile
    // entry or argument ends the run before anything is opened.
    if (load_settings(argc, argv) == rc::refused) {
        return tool_exit::usage;
    }
    // From here on every end of the run is reported on the event channel, when there is one.
    open_event_channel();

    if (gSettings.gSelfTest != 0) {
        return event_result(run_self_tests());
    }

    // libusb's threads never take a stop signal: the main thread handles each.
    block_stop_signals();
    int result = libusb_init(nullptr);
    unblock_stop_signals();
    if (result < 0) {
        print_failure(result, "libusb_init failed %d\n", result);
        return event_result(result);
    }

    TargetDevice target;
    result = find_target_device(&target);
    if (result != rc::ok) {
        print_failure(0, "target device not found %d\n", result);
        return event_result(result);
    }

    // From the open to the close, a stop signal lets the chip step in progress finish.
    hold_stop_signals();
    const Outcome outcome = run_on_hub(target.device);
    release_stop_signals();

    release_device_list();
    libusb_exit(nullptr);
    if (const int number = stop_signal(); number != 0 && !outcome.completed) {
        // The shell's convention for a process ended by a signal. A signal that came during the
        // last step, which then finished, stopped nothing: the result stands.
        return event_result(128 + number);
    }
    return event_result(outcome.status);
}
