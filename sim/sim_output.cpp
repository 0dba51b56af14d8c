#include "sim_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <glib.h>
#include <memory>
#include <vector>

namespace sim {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int write_file(const std::string& path, const void* bytes, std::size_t count, std::string& error) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file || (count > 0 && std::fwrite(bytes, 1, count, file.get()) != count)) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return 0;
    }
    if (std::fclose(file.release()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return 0;
    }
    return 1;
}

void append_hex(std::string& line, const std::vector<uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    for (uint8_t byte : bytes) {
        line += digits[byte >> 4];
        line += digits[byte & 0x0f];
    }
}

std::string transfer_line(std::size_t number, const TransferRecord& record) {
    const chip_model::Transfer& t = record.transfer;
    char head[128];
    std::snprintf(head, sizeof head, "%c %zu %llu %s %02x %04x %04x %u %s ",
                  record.on_chip ? 'T' : 'X', number,
                  static_cast<unsigned long long>(record.clock_us),
                  (t.request_type & 0x80) != 0 ? "in" : "out", t.request, t.value, t.index,
                  static_cast<unsigned>(t.length), result_text(t.result).c_str());
    std::string line = head;
    append_hex(line, t.data);
    if (!record.on_chip) {
        line += " " + record.devnode;
    }
    line += "\n";
    return line;
}

} // namespace

std::string result_text(int result) {
    switch (result) {
    case chip_model::error_pipe:
        return "stall";
    case chip_model::error_no_device:
        return "nodev";
    case chip_model::error_timeout:
        return "timeout";
    default:
        return result >= 0 ? std::to_string(result) : "io(" + std::to_string(result) + ")";
    }
}

int write_flash_images(const Device& device, const std::string& directory, std::string& error) {
    if (g_mkdir_with_parents(directory.c_str(), 0755) != 0) {
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return 0;
    }
    for (int image = 0; image < 2; ++image) {
        const auto& bytes = device.chip.flashed[static_cast<std::size_t>(image)];
        std::string path = directory + "/image" + std::to_string(image) + ".bin";
        if (write_file(path, bytes.data(), bytes.size(), error) != 1) {
            return 0;
        }
    }
    return 1;
}

int write_trace(const Device& device, const std::string& path, std::string& error) {
    std::string text =
        "# tovrela-sim trace\n"
        "# T number clock_us direction request value index length result data: a control "
        "transfer to the chip's hub\n"
        "# X ... devnode: a control transfer to another device (answered with a stall)\n"
        "# P clock_us duration_us: a pause of the command, on the virtual clock\n"
        "# V text: a violation the chip saw\n";
    uint64_t pause_count = 0;
    for (const auto& event : device.events) {
        if (event.kind == Event::Kind::transfer) {
            text += transfer_line(event.transfer + 1, device.transfers[event.transfer]);
        } else {
            char line[64];
            std::snprintf(line, sizeof line, "P %llu %llu\n",
                          static_cast<unsigned long long>(event.pause.start_us),
                          static_cast<unsigned long long>(event.pause.duration_us));
            text += line;
            ++pause_count;
        }
    }
    for (const auto& violation : device.chip.violations) {
        text += "V " + violation + "\n";
    }
    if (device.pauses_seen > pause_count) {
        text += "# pauses not kept: " + std::to_string(device.pauses_seen - pause_count) + "\n";
    }
    for (const auto& request : device.unknown_ioctls) {
        text += "# unanswered ioctl " + request + "\n";
    }
    text += "# transfers " + std::to_string(device.transfer_count) + " pauses " +
            std::to_string(device.pauses_seen) + " virtual_us " +
            std::to_string(device.clock_end_us) + "\n";
    return write_file(path, text.data(), text.size(), error);
}

int write_verdict(const Device& device, const std::string& path, std::string& error) {
    std::string text = chip_model::verdict(device.chip);
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    return write_file(path, text.data(), text.size(), error);
}

} // namespace sim
