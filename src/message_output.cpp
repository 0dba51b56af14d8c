#include "message_output.h"

#include "file.h"
#include "fw_version_record.h"
#include "settings.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t message_capacity = 500; // 499 characters and the terminating zero

// Set once the log was found unusable and that was said.
bool log_refused = false;

// Appends the text to "debug.log". A log that is a link, a FIFO or anything else but a regular
// file, or that does not open, is left alone, which standard error hears of once.
void append_debug_log(const char* text) {
    if (log_refused) {
        return;
    }
    // Never through a link (as root it could point anywhere), and the open never blocks, so a
    // FIFO without reader cannot hang the tool.
    const int fd = open("debug.log",
                        O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int open_errno = errno;
    struct stat info {};
    const char* problem = nullptr;
    if (fd >= 0 ? fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)
                : lstat("debug.log", &info) == 0 && !S_ISREG(info.st_mode)) {
        problem = S_ISLNK(info.st_mode) ? "it is a symbolic link" : "it is not a regular file";
    } else if (fd < 0) {
        problem = std::strerror(open_errno);
    }
    if (problem != nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        log_refused = true;
        std::fprintf(stderr, "tovrela-update: debug.log is not written: %s\n", problem);
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

// Writes the message of a printf-style call, cut to 499 characters, to `stream` (flushed) and,
// when LogFile is on, to "debug.log".
void emit(std::FILE* stream, const char* format, va_list args) {
    std::array<char, message_capacity> text{};
    std::vsnprintf(text.data(), text.size(), format, args);
    std::fputs(text.data(), stream);
    std::fflush(stream);
    if (gSettings.gLogFile != 0) {
        append_debug_log(text.data());
    }
}

} // namespace

void print_message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(stdout, format, args);
    va_end(args);
}

void print_problem(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(stderr, format, args);
    va_end(args);
}

bool console_failed() {
    return std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
}

void print_version(const char* label, const FwVersion& version) {
    print_message("%s%d.%d.%d.%d\n", label, static_cast<int>(version.std_major),
                  static_cast<int>(version.std_minor), static_cast<int>(version.std_revision),
                  static_cast<int>(version.customer_minor));
}
