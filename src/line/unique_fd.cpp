#include "unique_fd.h"

#include <cerrno>

namespace line {

bool write_all(int fd, const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, text, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace line
