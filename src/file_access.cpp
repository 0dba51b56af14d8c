#include "file_access.h"

#include "tool_events.h"

#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

File open_image_file(const char* path) {
    // O_NONBLOCK keeps the open of a FIFO without writer from hanging the tool.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    File file(fdopen(fd, "rb"));
    if (!file) {
        close(fd);
    }
    return file;
}

uint64_t file_length(std::FILE* file) {
    off_t end = -1;
    if (fseeko(file, 0, SEEK_END) == 0) {
        end = ftello(file);
    }
    std::rewind(file);
    return end < 0 ? UINT64_MAX : static_cast<uint64_t>(end);
}

std::unique_ptr<uint8_t[]> read_image_content(std::FILE* file, uint64_t size, int image) {
    if (size > image_buffer_size) {
        return nullptr;
    }
    // Within the limit, the size fits size_t on every target.
    const auto count = static_cast<std::size_t>(size);
    // Sized to the image, at least one byte, so that two images held at once stay small.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[count == 0 ? 1 : count]());
    if (!buffer) {
        print_failure(0, "!!!No memory for BinFile %d\n", image);
        return nullptr;
    }
    const std::size_t delivered = std::fread(buffer.get(), 1, count, file);
    if (delivered != count) {
        // Never send or read zeros in place of content the file did not deliver.
        print_failure(0, "!!!Read BinFile %d Fail: %zu of %llu bytes\n", image, delivered,
                      static_cast<unsigned long long>(size));
        return nullptr;
    }
    return buffer;
}
