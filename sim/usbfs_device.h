// The kernel's side of the simulated bed: answers the usbdevfs ioctls that libusb makes on the
// device nodes of the simulated tree, for every process that opened one, and hands every control
// transfer on a hub with a chip to that hub's chip model, on the hub's own thread.
#pragma once

#include "bed.h"

// umockdev's own struct tag, declared here so that this header needs no GLib headers.
// NOLINTBEGIN(bugprone-reserved-identifier)
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
// NOLINTEND(bugprone-reserved-identifier)

namespace sim {

// Connects the ioctl handler to `bed`, which must outlive the handler's use.
void connect_handler(UMockdevIoctlBase* handler, Bed& bed);

// Once the command has ended: every hub thread stopped after the work it was given, every client
// still known dropped with the URBs it holds, and no ioctl served any more.
void close_clients(Bed& bed);

} // namespace sim
