// The exit statuses of tovrela-update that a program running it tells apart. The tool ends with
// its result code, so a negative code reaches the caller as 256 plus that code.
#pragma once

#include <libusb.h>

namespace tool_exit {
enum Status : int {
    // The operation succeeded; with -checkupdateonly=1: Image 0 is newer than the chip's version.
    ok = 0,
    // A refused argument or profile entry; nothing was opened.
    usage = 2,
    // With -checkupdateonly=1: the chip already has Image 0's version, or a newer one.
    up_to_date = 7,
    // The hub is in use by another tovrela-update process (libusb's "busy").
    busy = 256 + LIBUSB_ERROR_BUSY,
    // No device matched the ids, path, bus and serial number.
    not_found = 251,
    // No device list, or the hub vanished before it was opened (libusb's "no device").
    vanished = 256 + LIBUSB_ERROR_NO_DEVICE,
};
} // namespace tool_exit

static_assert(tool_exit::busy == 250 && tool_exit::vanished == 252);
