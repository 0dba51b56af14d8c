// What the simulator writes after the command has ended: the flashed images, the trace and the
// chip model's verdict.
#pragma once

#include "usbfs_device.h"

#include <string>

namespace sim {

// Each returns 1, or 0 with the reason in `error`.
// With several hubs, each hub's images go to DIR/BUS-PATH/ and its trace and verdict lines begin
// with BUS-PATH.
int write_flash_images(const Bed& bed, const std::string& directory, std::string& error);
int write_trace(const Bed& bed, const std::string& path, std::string& error);
int write_verdict(const Bed& bed, const std::string& path, std::string& error);

// The trace's name for a transfer result: bytes moved, or stall / nodev / timeout / io(N).
std::string result_text(int result);

} // namespace sim
