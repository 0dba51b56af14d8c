#include "flash_writer.h"
