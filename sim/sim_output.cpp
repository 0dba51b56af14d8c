#include "sim_output.h"

#include "file.h"
#include "hex_dump.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <glib.h>
#include <utility>

namespace sim {

namespace {

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

std::string transfer_line(const TransferRecord& record) {
    const chip_model::Transfer& t = record.transfer;
    constexpr char letters[] = {'T', 'S', 'X'};
    char head[128];
    std::snprintf(head, sizeof head, "%c %llu %llu %s %02x %04x %04x %u %s ",
                  letters[static_cast<int>(record.kind)],
                  static_cast<unsigned long long>(record.number),
                  static_cast<unsigned long long>(record.clock_us),
                  (t.request_type & 0x80) != 0 ? "in" : "out", t.request, t.value, t.index,
                  static_cast<unsigned>(t.length), result_text(t.result).c_str());
    std::string line = head + hex_dump(t.data);
    if (record.kind == TransferRecord::Kind::other) {
        line += " " + record.devnode;
    }
    line += "\n";
    return line;
}

} // namespace

std::string result_text(int result) {
    constexpr std::array<std::pair<int, const char*>, 3> failure_words{{
        {chip_model::error_pipe, "stall"},
        {chip_model::error_no_device, "nodev"},
        {chip_model::error_timeout, "timeout"},
    }};
    for (const auto& [code, word] : failure_words) {
        if (result == code) {
            return word;
        }
    }
    return result >= 0 ? std::to_string(result) : "io(" + std::to_string(result) + ")";
}

namespace {

// The prefix of a hub's lines: none when the bed has one hub.
std::string prefix_of(const Bed& bed, std::size_t hub) {
    return bed.hubs.size() > 1 ? bed.hubs[hub].name + " " : "";
}

} // namespace

int write_flash_images(const Bed& bed, const std::string& directory, std::string& error) {
    for (const auto& hub : bed.hubs) {
        const std::string folder = bed.hubs.size() > 1 ? directory + "/" + hub.name : directory;
        if (g_mkdir_with_parents(folder.c_str(), 0755) != 0) {
            error = "cannot create " + folder + ": " + std::strerror(errno);
            return 0;
        }
        for (int image = 0; image < 2; ++image) {
            const auto& bytes = hub.chip.history.flashed[static_cast<std::size_t>(image)];
            std::string path = folder + "/image" + std::to_string(image) + ".bin";
            if (write_file(path, bytes.data(), bytes.size(), error) != 1) {
                return 0;
            }
        }
    }
    return 1;
}

int write_trace(const Bed& bed, const std::string& path, std::string& error) {
    std::string text =
        "# tovrela-sim trace\n"
        "# T number clock_us direction request value index length result data: a control "
        "transfer to a chip's hub\n"
        "# S number ...: a standard request the hub answered itself (its string descriptors)\n"
        "# X ... devnode: a control transfer to another device (answered with a stall)\n"
        "# P clock_us duration_us: a pause of the command, on its process's virtual clock\n"
        "# H plugged real_us devnode, H unplugged real_us: the hub came or went (real time)\n"
        "# V text: a violation the chip saw\n"
        "# number, clock_us, length, result and duration_us are decimal, the other fields hex\n";
    if (bed.hubs.size() > 1) {
        text += "# each line begins with its hub's bus and port path (BUS-PATH)\n";
    }
    uint64_t pause_count = 0;
    for (const auto& event : bed.log.events) {
        const std::string prefix = prefix_of(bed, event.hub);
        if (event.kind == Event::Kind::plug || event.kind == Event::Kind::unplug) {
            text += prefix + (event.kind == Event::Kind::plug ? "H plugged " : "H unplugged ") +
                    std::to_string(event.pause_us) +
                    (event.kind == Event::Kind::plug ? " " + bed.hubs[event.hub].devnode : "") +
                    "\n";
        } else if (event.kind == Event::Kind::transfer) {
            text += prefix + transfer_line(bed.hubs[event.hub].transfers[event.transfer]);
        } else {
            char line[64];
            std::snprintf(line, sizeof line, "P %llu %llu\n",
                          static_cast<unsigned long long>(event.pause_start_us),
                          static_cast<unsigned long long>(event.pause_us));
            text += prefix + line;
            ++pause_count;
        }
    }
    uint64_t transfers = 0;
    for (std::size_t hub = 0; hub < bed.hubs.size(); ++hub) {
        for (const auto& violation : bed.hubs[hub].chip.history.violations) {
            text += prefix_of(bed, hub) + "V " + violation + "\n";
        }
        transfers += bed.hubs[hub].transfer_count;
    }
    if (bed.log.pauses_seen > pause_count) {
        text += "# pauses not kept: " + std::to_string(bed.log.pauses_seen - pause_count) + "\n";
    }
    for (const auto& request : bed.log.unknown_ioctls) {
        text += "# unanswered ioctl " + request + "\n";
    }
    text += "# transfers " + std::to_string(transfers) + " pauses " +
            std::to_string(bed.log.pauses_seen) + " virtual_us " +
            std::to_string(bed.clock_end_us) + "\n";
    return write_file(path, text.data(), text.size(), error);
}

int write_verdict(const Bed& bed, const std::string& path, std::string& error) {
    std::string text;
    for (std::size_t hub = 0; hub < bed.hubs.size(); ++hub) {
        for (const auto& violation : bed.hubs[hub].chip.history.violations) {
            text += prefix_of(bed, hub) + violation + "\n";
        }
    }
    return write_file(path, text.data(), text.size(), error);
}

} // namespace sim
