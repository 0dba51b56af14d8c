#include "settings.h"

RunSettings gSettings;

int load_settings(int, char**) { return 0; }
