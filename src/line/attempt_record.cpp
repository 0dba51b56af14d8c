#include "attempt_record.h"

#include "utc_time.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>

namespace line {

namespace {

template <typename Value> nlohmann::json or_null(const std::optional<Value>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::string hex4(uint16_t value) {
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "%04x", value);
    return text.data();
}

} // namespace

std::string record_line(const AttemptRecord& record) {
    const double seconds = std::chrono::duration<double>(record.ended - record.started).count();
    const nlohmann::ordered_json line = {
        {"run", record.run},
        {"host", record.host},
        {"started", iso_utc(record.started)},
        {"ended", iso_utc(record.ended)},
        {"seconds", std::round(seconds * 1000.0) / 1000.0},
        {"bus", record.bus},
        {"path", record.path},
        {"vid", hex4(record.vid)},
        {"pid", hex4(record.pid)},
        {"bcd_device", hex4(record.bcd_device)},
        {"serial", or_null(record.serial)},
        {"job", record.job},
        {"version_before", or_null(record.version_before)},
        {"image_version", or_null(record.image_version)},
        {"image0_sha256", or_null(record.image0_sha256)},
        {"image1_sha256", or_null(record.image1_sha256)},
        {"image0_bytes", or_null(record.image0_bytes)},
        {"image1_bytes", or_null(record.image1_bytes)},
        {"result", record.result},
        {"exit_status", or_null(record.exit_status)},
        {"message", or_null(record.message)},
        {"log", or_null(record.log)},
    };
    // Bytes that are not UTF-8 (a serial number, a tool's line) are replaced, never fatal.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool RecordFile::open(const std::string& path, std::string& error) {
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd_) {
        error = "record \"" + path + "\" cannot be opened for appending: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool RecordFile::append(const std::string& line) const {
    return write_all(fd_.get(), line.data(), line.size()) && fdatasync(fd_.get()) == 0;
}

} // namespace line
