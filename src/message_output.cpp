#include "message_output.h"

#include "file.h"
#include "fw_version_record.h"
#include "settings.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr std::size_t message_capacity = 500; // 499 characters and the terminating zero

// Appends the text to "debug.log"; silent when the file cannot be opened.
void append_debug_log(const char* text) {
    // The open never blocks, so a FIFO without reader cannot hang the tool (the message then
    // goes to the console only); the writes block again as usual.
    const int fd = open("debug.log", O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    if (const int flags = fcntl(fd, F_GETFL); flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    File log(fdopen(fd, "a"));
    if (!log) {
        close(fd);
        return;
    }
    std::fputs(text, log.get());
}

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

bool console_failed() {
    return std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
}

void print_version(const char* label, const FwVersion& version) {
    print_message("%s%d.%d.%d.%d\n", label, static_cast<int>(version.std_major),
                  static_cast<int>(version.std_minor), static_cast<int>(version.std_revision),
                  static_cast<int>(version.customer_minor));
}
