// Every fixed pause of the chip protocol goes through here.
#pragma once

#include <cstdint>

void protocol_pause(uint32_t microseconds);
