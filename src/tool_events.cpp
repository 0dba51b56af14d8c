#include "tool_events.h"

#include "message_output.h"
#include "settings.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

// The channel's descriptor, or -1: none given, or ended by a write error.
int channel = -1;

// The first failure line of the run, without its line ends, and the libusb error behind it.
std::array<char, 500> first_failure{};
int failure_error = 0;
bool failed = false;
bool command_open = false;

// The longest line written: one write of at most PIPE_BUF bytes to a pipe is never split, and
// never waits once poll found room. The texts of a line are cut so that it fits.
constexpr std::size_t longest_line = 4096;
constexpr std::size_t longest_text = 500;

// One object being written: {"v":1,"event":"NAME" and the fields added.
class EventLine {
  public:
    explicit EventLine(const char* event) {
        text_ = "{\"v\":" + std::to_string(event_channel_version) + ",\"event\":";
        quoted(event);
    }

    EventLine& number(const char* name, int64_t value) {
        key(name);
        text_ += std::to_string(value);
        return *this;
    }

    EventLine& text(const char* name, std::string_view value) {
        key(name);
        quoted(value.substr(0, longest_text));
        return *this;
    }

    // "NAME":true
    EventLine& flag(const char* name) {
        key(name);
        text_ += "true";
        return *this;
    }

    EventLine& hex4(const char* name, uint16_t value) {
        std::array<char, 8> digits{};
        std::snprintf(digits.data(), digits.size(), "0x%04X", value);
        return text(name, digits.data());
    }

    EventLine& bytes(const char* name, const std::array<uint8_t, 6>& values) {
        key(name);
        char separator = '[';
        for (const uint8_t value : values) {
            text_ += separator;
            text_ += std::to_string(value);
            separator = ',';
        }
        text_ += ']';
        return *this;
    }

    // Writes the line, when the channel is open and has room for it.
    void send() {
        text_ += "}\n";
        if (channel < 0 || text_.size() > longest_line) {
            return;
        }
        pollfd room{channel, POLLOUT, 0};
        const int ready = poll(&room, 1, 0);
        if (ready == 1 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            channel = -1; // the reader is gone
            return;
        }
        if (ready != 1 || (room.revents & POLLOUT) == 0) {
            return; // full: this event is dropped, the update never waits
        }
        ssize_t written = -1;
        do {
            written = write(channel, text_.data(), text_.size());
        } while (written < 0 && errno == EINTR);
        if (written != static_cast<ssize_t>(text_.size())) {
            channel = -1;
        }
    }

  private:
    void key(const char* name) {
        text_ += ',';
        quoted(name);
        text_ += ':';
    }

    // A JSON string: quote, backslash and every byte outside printable ASCII escaped, so that
    // the line is valid JSON (and UTF-8) whatever the text holds.
    void quoted(std::string_view value) {
        text_ += '"';
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += c;
            } else if (byte < 0x20 || byte > 0x7E) {
                std::array<char, 8> escape{};
                std::snprintf(escape.data(), escape.size(), "\\u%04x", byte);
                text_ += escape.data();
            } else {
                text_ += c;
            }
        }
        text_ += '"';
    }

    std::string text_;
};

// The text without the line ends around it.
std::string_view without_line_ends(std::string_view text) {
    const std::size_t first = text.find_first_not_of("\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of("\r\n") - first + 1);
}

void keep_failure(int libusb_error, std::string_view line) {
    if (failed) {
        return;
    }
    failed = true;
    failure_error = libusb_error;
    line = without_line_ends(line).substr(0, first_failure.size() - 1);
    std::copy(line.begin(), line.end(), first_failure.begin());
}

const char* mode_name() {
    if (gSettings.gSelfTest != 0) {
        return "self_test";
    }
    if (gSettings.gCheckUpdateOnly != 0) {
        return "check";
    }
    if (gSettings.gReadVerOnly != 0) {
        return "read_version";
    }
    return gSettings.gReadBinOnly != 0 ? "read_image" : "update";
}

struct Count {
    const char* name;
    uint64_t value;
};

// An event about one image: the image, what is counted, and the image's number of blocks.
void image_event(const char* event, int image, Count count, uint64_t blocks) {
    EventLine(event)
        .number("image", image)
        .number(count.name, static_cast<int64_t>(count.value))
        .number("blocks", static_cast<int64_t>(blocks))
        .send();
}

} // namespace

void open_event_channel() {
    channel = -1;
    failed = false;
    command_open = false;
    failure_error = 0;
    first_failure.fill('\0');
    const uint32_t fd = gSettings.gEventFd;
    if (fd == 0) {
        return;
    }
    errno = EBADF;
    const int flags = fd <= INT32_MAX ? fcntl(static_cast<int>(fd), F_GETFL) : -1;
    const int open_errno = errno;
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        print_problem("tovrela-update: warning: -eventfd=%" PRIu32 ": %s; no events are written\n",
                      fd, flags < 0 ? std::strerror(open_errno) : "not open for writing");
        return;
    }
    channel = static_cast<int>(fd);
}

void event_register(uint16_t address, uint16_t value) {
    EventLine("register").hex4("address", address).hex4("value", value).send();
}

void event_image(int image, uint64_t bytes, uint64_t blocks) {
    image_event("image", image, {"bytes", bytes}, blocks);
}

void event_block(int image, uint64_t block, uint64_t blocks) {
    image_event("block", image, {"block", block}, blocks);
}

void event_chip_version(const std::array<uint8_t, 6>& bytes) {
    // The version as the tool compares it: major, minor, revision, customer minor.
    std::array<char, 24> version{};
    std::snprintf(version.data(), version.size(), "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2],
                  bytes[5]);
    EventLine("chip_version").text("version", version.data()).bytes("bytes", bytes).send();
}

void event_stop(const char* signal, const char* line) {
    keep_failure(0, line);
    EventLine("stop").text("signal", signal).text("line", without_line_ends(line)).send();
}

void print_failure(int libusb_error, const char* format, ...) {
    std::array<char, 500> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    print_message("%s", text.data());
    keep_failure(libusb_error, text.data());
}

void note_command_open(bool open) {
    command_open = open;
}

int event_result(int status) {
    EventLine result("result");
    result.text("mode", mode_name()).number("exit_status", static_cast<uint8_t>(status));
    if (failed) {
        result.text("failure", first_failure.data());
    }
    if (failed && failure_error != 0) {
        result.number("libusb_error", failure_error);
    }
    if (command_open) {
        result.flag("unfinished_command");
    }
    result.send();
    return status;
}
