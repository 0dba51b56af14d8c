#include "utc_time.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace line {

namespace {

std::tm utc_fields(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    return fields;
}

} // namespace

std::string iso_utc(std::chrono::system_clock::time_point time) {
    const std::tm fields = utc_fields(time);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()) % 1000;
    std::array<char, 40> text{};
    const std::size_t length =
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &fields);
    std::snprintf(text.data() + length, text.size() - length, ".%03dZ",
                  static_cast<int>(millis.count()));
    return text.data();
}

std::string compact_utc(std::chrono::system_clock::time_point time) {
    const std::tm fields = utc_fields(time);
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), "%Y%m%dT%H%M%SZ", &fields);
    return text.data();
}

} // namespace line
