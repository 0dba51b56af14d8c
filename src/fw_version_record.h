// A firmware version, of the chip or of Image 0.
#pragma once

#include <cstdint>

struct FwVersion {
    uint32_t std_major = 0;
    uint32_t std_minor = 0;
    uint32_t std_revision = 0;
    uint32_t customer_minor = 0;
};
