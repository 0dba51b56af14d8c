// Command-line option scanner: the joined, cleaned command-line text and the option lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Joins arguments 1 .. argc-1 into one cleaned text. Null when no memory was available.
[[nodiscard]] std::unique_ptr<char[]> build_command_line_text(int argc, char** argv);

// Lower-cases the text and folds every run of white space into one space, in place.
void normalize_text(char* text);

// Where the first match of `name` begins in `text` (case and runs of white space ignored), or null.
[[nodiscard]] const char* find_option(const char* text, const char* name);

// rc::ok with the value after the next '=' copied into `dest` (cut to dest_size - 1 characters),
// rc::missing when text or name is absent, rc::not_found when not found. `dest` is written only
// on rc::ok, so a caller that keeps a default may ignore the result.
int get_option_value(const char* text, const char* name, char* dest, std::size_t dest_size);

// rc::ok with the value converted in `base` and its low 32 bits stored, else the code of
// get_option_value with `dest` untouched (rc::missing also when `dest` is null).
int get_option_number(const char* text, const char* name, int base, uint32_t* dest);
