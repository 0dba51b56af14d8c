// Every fixed pause of the chip protocol goes through here. A pause is never cut short: after a
// signal it sleeps whatever remains.
// Stand-ins: test/support/test_device.cpp (tests, fuzz); usleep's: sim/fastclock.cpp, no_pause.cpp.
#pragma once

#include <cstdint>

void protocol_pause(uint32_t microseconds);
