// "--help" and "--version" anywhere on the command line, and the hint on missing device access.
#pragma once

// When an argument is "--help" or "--version" (the first of them counts), prints the usage or the
// version and returns 0, or 1 when standard output could not take it; otherwise prints nothing
// and returns -1.
[[nodiscard]] int print_tool_info(int argc, char** argv);

// One line on standard error after "liusb_open failed LIBUSB_ERROR_ACCESS(-3)": where the udev
// rule template is installed and where its use is described.
void print_access_hint();
