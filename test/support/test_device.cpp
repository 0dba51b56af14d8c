#include "test_device.h"

#include "pause.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>

namespace test_device {

namespace {

chip_model::Chip the_chip;
std::vector<Event> the_events;
std::deque<std::vector<uint8_t>> the_in_replies;
Answer the_answer = nullptr;
uint64_t the_now_us = 0; // advanced by the pauses only, as on the virtual hub's clock

} // namespace

chip_model::Chip& chip() {
    return the_chip;
}

const std::vector<Event>& events() {
    return the_events;
}

void reset(const chip_model::Config& config) {
    chip_model::reset(the_chip, config);
    the_events.clear();
    the_in_replies.clear();
    the_answer = nullptr;
    the_now_us = 0;
}

libusb_device_handle* handle() {
    static int placeholder;
    return reinterpret_cast<libusb_device_handle*>(&placeholder);
}

void queue_in_replies(const std::vector<std::vector<uint8_t>>& replies) {
    the_in_replies.insert(the_in_replies.end(), replies.begin(), replies.end());
}

void answer_with(Answer answer) {
    the_answer = answer;
}

std::string schedule() {
    std::string text;
    for (const auto& event : the_events) {
        char word[24];
        if (event.kind == Event::Kind::pause) {
            std::snprintf(word, sizeof word, " %u", event.pause_us);
        } else {
            const auto& t = the_chip.history.transfers[event.transfer];
            std::snprintf(word, sizeof word, " %02X:%u", t.request, t.length);
        }
        text += word;
    }
    return text.empty() ? text : text.substr(1);
}

namespace {

// Records a transfer answered without the chip, with the bytes it moved.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libusb's order of the setup fields
int record(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
           const unsigned char* data, uint16_t length, int result) {
    const auto moved = static_cast<std::size_t>(std::max(result, 0));
    the_chip.history.transfers.push_back(
        {request_type, request, value, index, length, {data, data + moved}, result});
    the_events.push_back({Event::Kind::transfer, the_chip.history.transfers.size() - 1, 0});
    return result;
}

} // namespace

} // namespace test_device

// Stand-ins for the two seams of the tool.

void protocol_pause(uint32_t microseconds) {
    test_device::the_events.push_back({test_device::Event::Kind::pause, 0, microseconds});
    test_device::the_now_us += microseconds;
}

extern "C" int libusb_control_transfer(libusb_device_handle* /*handle*/, uint8_t request_type,
                                       uint8_t request, uint16_t value, uint16_t index,
                                       unsigned char* data, uint16_t length, unsigned int timeout) {
    if (timeout != 1000) {
        // Every request of the tool waits the same second for the hub before it gives up.
        test_device::the_chip.history.violations.push_back(
            "Transfer " + std::to_string(test_device::the_chip.history.transfers.size() + 1) +
            ": timeout of " + std::to_string(timeout) + " ms, where 1000 ms were due");
    }
    if (test_device::the_answer != nullptr) {
        return test_device::record(
            request_type, request, value, index, data, length,
            test_device::the_answer(request_type, request, index, data, length));
    }
    if ((request_type & 0x80) != 0 && !test_device::the_in_replies.empty()) {
        std::vector<uint8_t> reply = std::move(test_device::the_in_replies.front());
        test_device::the_in_replies.pop_front();
        const std::size_t moved = std::min<std::size_t>(reply.size(), length);
        std::copy_n(reply.begin(), moved, data);
        return test_device::record(request_type, request, value, index, data, length,
                                   static_cast<int>(moved));
    }
    int result = chip_model::control_transfer_at(test_device::the_chip, test_device::the_now_us,
                                                 request_type, request, value, index, data, length);
    test_device::the_events.push_back({test_device::Event::Kind::transfer,
                                       test_device::the_chip.history.transfers.size() - 1, 0});
    return result;
}
