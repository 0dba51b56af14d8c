#include "pause.h"

#include <unistd.h>

void protocol_pause(uint32_t microseconds) {
    usleep(microseconds);
}
