// "--help" and "--version" given as the only argument.
#pragma once

// When argv holds exactly one argument and it is "--help" or "--version", prints the usage or
// the version and returns 0; otherwise prints nothing and returns -1.
int print_tool_info(int argc, char** argv);
