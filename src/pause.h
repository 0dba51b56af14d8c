// Every fixed pause of the chip protocol goes through here. A pause is never cut short: after a
// signal it sleeps whatever remains.
#pragma once

#include <cstdint>

void protocol_pause(uint32_t microseconds);
