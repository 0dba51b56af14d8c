#include "message_output.h"

#include "file_access.h"
#include "fw_version.h"
#include "settings.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {

constexpr std::size_t message_capacity = 500; // 499 characters and the terminating zero

} // namespace

void print_message(const char* format, ...) {
    std::array<char, message_capacity> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);

    std::fputs(text.data(), stdout);
    std::fflush(stdout);
    if (gSettings.gLogFile != 0) {
        append_debug_log(text.data());
    }
}

void append_debug_log(const char* text) {
    File log(std::fopen("debug.log", "a"));
    if (!log) {
        return;
    }
    std::fputs(text, log.get());
}

void print_version(const char* label, const FwVersion& version) {
    print_message("%s%d.%d.%d.%d\n", label, static_cast<int>(version.std_major),
                  static_cast<int>(version.std_minor), static_cast<int>(version.std_revision),
                  static_cast<int>(version.customer_minor));
}
