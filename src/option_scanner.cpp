#include "option_scanner.h"
