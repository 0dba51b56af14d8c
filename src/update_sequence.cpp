#include "update_sequence.h"

int update_firmware(libusb_device_handle*) { return 0; }
