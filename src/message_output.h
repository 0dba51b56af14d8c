// Every message of the tool: standard output, flushed, and "debug.log" when LogFile is on. The log
// is only ever a regular file in the working directory, never reached through a link.
#pragma once

struct FwVersion;

// printf-style; the formatted text is cut to 499 characters.
void print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line for whoever runs the tool, printf-style: to standard error, and appended to
// "debug.log" when LogFile is on, so that the log tells the whole story.
void print_problem(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when a message could not be written whole to standard output (a full disk, a closed
// pipe, a file size limit) at any time so far.
[[nodiscard]] bool console_failed();

// Prints the label and the version as four dot-separated decimal numbers.
void print_version(const char* label, const FwVersion& version);
