// The least a program can do to make a given series of control transfers: it reads the T lines
// of a tovrela-sim trace and sends the same transfers to the hub, one after the other, with no
// pause and no output. The benchmark runs it on the virtual hub beside the tool to show what the
// tool itself costs on top of libusb and the simulator.
//
// Usage: replay_transfers TRACE VID PID   (VID and PID in hexadecimal)
#include "chip_model.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <libusb.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A transfer as the trace gives it; `data` holds the OUT data, or room for the IN reply.
using chip_model::Transfer;

// Parses "T number clock direction request value index length result data".
bool parse(const std::string& line, Transfer& transfer) {
    std::istringstream words(line);
    std::string kind, number, clock, direction, result, data;
    unsigned request = 0, value = 0, index = 0, length = 0;
    words >> kind >> number >> clock >> direction >> std::hex >> request >> value >> index >>
        std::dec >> length >> result;
    if (kind != "T" || !words) {
        return false;
    }
    words >> data;
    bool in = direction == "in";
    transfer = {.request_type = static_cast<uint8_t>(in ? 0xC0 : 0x40),
                .request = static_cast<uint8_t>(request),
                .value = static_cast<uint16_t>(value),
                .index = static_cast<uint16_t>(index),
                .length = static_cast<uint16_t>(length),
                .data = std::vector<uint8_t>(length)};
    for (std::size_t i = 0; !in && i < length && 2 * i + 1 < data.size(); ++i) {
        transfer.data[i] = static_cast<uint8_t>(std::stoul(data.substr(2 * i, 2), nullptr, 16));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s TRACE VID PID\n", argv[0]);
        return 2;
    }
    std::vector<Transfer> transfers;
    std::ifstream trace(argv[1]);
    for (std::string line; std::getline(trace, line);) {
        Transfer transfer;
        if (parse(line, transfer)) {
            transfers.push_back(std::move(transfer));
        }
    }
    if (libusb_init(nullptr) < 0) {
        return 1;
    }
    auto vid = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 16));
    auto pid = static_cast<uint16_t>(std::strtoul(argv[3], nullptr, 16));
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(nullptr, vid, pid);
    int status = handle != nullptr ? 0 : 1;
    for (std::size_t i = 0; handle != nullptr && i < transfers.size(); ++i) {
        auto& t = transfers[i];
        libusb_control_transfer(handle, t.request_type, t.request, t.value, t.index, t.data.data(),
                                t.length, 1000);
    }
    if (handle != nullptr) {
        libusb_close(handle);
    }
    libusb_exit(nullptr);
    return status;
}
