// Every message of the tool: standard output, flushed, and "debug.log" when LogFile is on.
#pragma once

struct FwVersion;

// printf-style; the formatted text is cut to 499 characters.
void print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when a message could not be written whole to standard output (a full disk, a closed
// pipe, a file size limit) at any time so far.
[[nodiscard]] bool console_failed();

// Prints the label and the version as four dot-separated decimal numbers.
void print_version(const char* label, const FwVersion& version);
