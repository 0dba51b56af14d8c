#include "tool_info.h"

int print_tool_info(int, char**) { return -1; }
