#include "unique_fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

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

UniqueFd open_appendable(const std::string& path, int flags, const std::string& what, bool& regular,
                         std::string& error) {
    UniqueFd fd(::open(path.c_str(), flags | O_APPEND | O_CLOEXEC, 0644));
    struct stat info {};
    if (!fd) {
        error = what + " cannot be opened for appending: " + std::strerror(errno);
    } else if (fstat(fd.get(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode))) {
        fd.reset();
        error = what + " is neither a regular file nor a FIFO";
    }
    regular = fd && S_ISREG(info.st_mode);
    return fd;
}

void undo_cut_append(int fd, off_t before, ssize_t written) {
    struct stat info {};
    if (before >= 0 && written > 0 && fstat(fd, &info) == 0 && info.st_size == before + written) {
        (void)ftruncate(fd, before);
    }
}

} // namespace line
