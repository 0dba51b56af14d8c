#include "chip_channel.h"
