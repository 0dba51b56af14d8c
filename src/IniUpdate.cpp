#include "IniUpdate.h"
