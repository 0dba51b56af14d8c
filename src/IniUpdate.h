// Profile file reader: one key of one section of a profile file per call, nothing cached.
#pragma once

#include <cstdint>

// rc::done and the value copied into `value` when found, rc::failed otherwise (`value` untouched).
[[nodiscard]] int find_profile_entry(const char* file, const char* section, const char* key,
                                     char* value);

// The found flag (rc::done or rc::failed); on a miss `value` is left as it was.
[[nodiscard]] int read_profile_string(const char* section, const char* key, char* value,
                                      int32_t size, const char* default_value, const char* file);

// The found flag (rc::done or rc::failed); on a miss `default_value` is copied into `value`.
[[nodiscard]] int read_profile_stringS(const char* section, const char* key, char* value,
                                       int32_t size, const char* default_value, const char* file);

// The entry as a decimal number, or `default_value` when not found.
[[nodiscard]] int32_t read_profile_int(const char* section, const char* key, int32_t default_value,
                                       const char* file);

// The entry as a hexadecimal number cut to 16 bits, or `default_value` when not found.
[[nodiscard]] uint16_t read_profile_hex(const char* section, const char* key,
                                        uint16_t default_value, const char* file);
