#include "attempt_record.h"

#include "utc_time.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace line {

namespace {

template <typename Value> nlohmann::ordered_json or_null(const std::optional<Value>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

} // namespace

std::string hex4(uint16_t value) {
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "%04x", value);
    return text.data();
}

namespace {

using Json = nlohmann::ordered_json;

// A field of the record: its name and its value in a record.
struct RecordField {
    const char* name;
    Json (*value)(const AttemptRecord&);
};

// Every field, in the order of every line; the manual page lists the same (a test compares).
// clang-format off
constexpr auto fields = std::to_array<RecordField>({
    {"run", [](const AttemptRecord& r) { return Json(r.run); }},
    {"host", [](const AttemptRecord& r) { return Json(r.host); }},
    {"started", [](const AttemptRecord& r) { return Json(iso_utc(r.started)); }},
    {"ended", [](const AttemptRecord& r) { return Json(iso_utc(r.ended)); }},
    {"seconds", [](const AttemptRecord& r) {
         const double seconds = std::chrono::duration<double>(r.ended - r.started).count();
         return Json(std::round(seconds * 1000.0) / 1000.0); }},
    {"bus", [](const AttemptRecord& r) { return Json(r.bus); }},
    {"path", [](const AttemptRecord& r) { return Json(r.path); }},
    {"vid", [](const AttemptRecord& r) { return Json(hex4(r.vid)); }},
    {"pid", [](const AttemptRecord& r) { return Json(hex4(r.pid)); }},
    {"bcd_device", [](const AttemptRecord& r) { return Json(hex4(r.bcd_device)); }},
    {"serial", [](const AttemptRecord& r) { return or_null(r.serial); }},
    {"slot", [](const AttemptRecord& r) { return or_null(r.slot); }},
    {"job", [](const AttemptRecord& r) { return Json(r.job); }},
    {"attempt", [](const AttemptRecord& r) { return Json(r.attempt); }},
    {"version_before", [](const AttemptRecord& r) { return or_null(r.outcome.version_before); }},
    {"version_after", [](const AttemptRecord& r) { return or_null(r.outcome.version_after); }},
    {"image_version", [](const AttemptRecord& r) { return or_null(r.image_version); }},
    {"image0_sha256", [](const AttemptRecord& r) { return or_null(r.image0_sha256); }},
    {"image1_sha256", [](const AttemptRecord& r) { return or_null(r.image1_sha256); }},
    {"image0_bytes", [](const AttemptRecord& r) { return or_null(r.image0_bytes); }},
    {"image1_bytes", [](const AttemptRecord& r) { return or_null(r.image1_bytes); }},
    {"result", [](const AttemptRecord& r) { return Json(r.outcome.result); }},
    {"exit_status", [](const AttemptRecord& r) { return or_null(r.outcome.exit_status); }},
    {"message", [](const AttemptRecord& r) { return or_null(r.outcome.message); }},
    {"log", [](const AttemptRecord& r) { return or_null(r.log); }},
});
// clang-format on

} // namespace

std::vector<std::string> record_field_names() {
    std::vector<std::string> names;
    names.reserve(fields.size());
    for (const RecordField& field : fields) {
        names.emplace_back(field.name);
    }
    return names;
}

std::string record_line(const AttemptRecord& record) {
    Json line = Json::object();
    for (const RecordField& field : fields) {
        line[field.name] = field.value(record);
    }
    // Bytes that are not UTF-8 (a serial number, a tool's line) are replaced, never fatal.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool RecordFile::open(const std::string& path, std::string& error) {
    // A FIFO is opened for writing only; a file also for reading its last byte.
    struct stat info {};
    const bool fifo = stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    fd_ = open_appendable(path, fifo ? O_WRONLY : O_RDWR | O_CREAT, "record \"" + path + "\"",
                          regular_, error);
    return static_cast<bool>(fd_);
}

bool RecordFile::append(const std::string& line) {
    kept_ += line;
    struct stat info {};
    off_t before = 0;
    char last = '\n';
    if (regular_) {
        if (fstat(fd_.get(), &info) != 0) {
            return false;
        }
        before = info.st_size;
        if (before > 0 && pread(fd_.get(), &last, 1, before - 1) != 1) {
            last = '\n';
        }
    }
    // A file that does not end in a line end (a line torn earlier, by another program) gets one.
    const std::string text = (last == '\n' ? "" : "\n") + kept_;
    const ssize_t written = ::write(fd_.get(), text.data(), text.size());
    if (written == static_cast<ssize_t>(text.size()) && fdatasync(fd_.get()) == 0) {
        kept_.clear();
        return true;
    }
    undo_cut_append(fd_.get(), regular_ ? before : -1, written);
    return false;
}

} // namespace line
