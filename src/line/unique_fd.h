// One owner for a file descriptor: closed when its owner dies.
#pragma once

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace line {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Writes all of `text` to `fd`, going on after interruptions; false when some of it was not
// written.
bool write_all(int fd, const char* text, std::size_t size);

// Opens `path` with `flags` and O_APPEND | O_CLOEXEC (mode 0644 when created) and keeps it only
// when it is a regular file or a FIFO; `regular` tells which. Otherwise an empty owner, with
// `error` naming the file as `what` (for example: record "r.jsonl").
UniqueFd open_appendable(const std::string& path, int flags, const std::string& what, bool& regular,
                         std::string& error);

// Takes back the `written` bytes that a write cut short appended to a regular file of `before`
// bytes, unless another writer appended after them meanwhile. `before` < 0: not a regular file.
void undo_cut_append(int fd, off_t before, ssize_t written);

} // namespace line
