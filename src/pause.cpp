#include "pause.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace {

uint64_t monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

} // namespace

void protocol_pause(uint32_t microseconds) {
    // A signal interrupts usleep; the chip still needs the whole pause, so sleep what remains.
    const uint64_t end = monotonic_us() + microseconds;
    uint64_t left = microseconds;
    while (usleep(static_cast<useconds_t>(left)) != 0 && errno == EINTR) {
        const uint64_t now = monotonic_us();
        if (now >= end) {
            break;
        }
        left = end - now;
    }
}
