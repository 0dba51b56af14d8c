#include "line_events.h"

#include "display.h"
#include "utc_time.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace line {

namespace {

using Json = nlohmann::ordered_json;

// The version of the events' form; a reader skips lines of other versions.
constexpr int events_version = 1;

template <typename Value> Json or_null(const std::optional<Value>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json common(std::chrono::system_clock::time_point time, const char* kind, const EventBoard& board) {
    Json event = Json::object();
    event["v"] = events_version;
    event["time"] = iso_utc(time);
    event["event"] = kind;
    event["place"] = board.place;
    // As every line shows a device's string: escaped, so that a consumer that prints it prints
    // no control character of the device's (the record keeps it exactly).
    event["serial"] = board.serial ? Json(shown(*board.serial)) : Json(nullptr);
    event["attempt"] = board.attempt;
    event["slot"] = or_null(board.slot);
    return event;
}

std::string text_of(const Json& event) {
    // Bytes that are not UTF-8 (a serial number) are replaced, never fatal.
    return event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace

std::string started_event(std::chrono::system_clock::time_point time, const EventBoard& board) {
    return text_of(common(time, "started", board));
}

std::string progress_event(std::chrono::system_clock::time_point time, const EventBoard& board,
                           ImageProgress progress) {
    Json event = common(time, "progress", board);
    event["image"] = progress.image;
    event["percent"] = progress.percent;
    return text_of(event);
}

std::string ended_event(std::chrono::system_clock::time_point time, const EventBoard& board,
                        const std::string& result, std::optional<int> exit_status,
                        const std::optional<std::string>& message) {
    Json event = common(time, "ended", board);
    event["result"] = result;
    event["exit_status"] = or_null(exit_status);
    event["message"] = or_null(message);
    return text_of(event);
}

std::vector<std::string> event_keys(const std::string& kind) {
    std::vector<std::string> keys{"v", "time", "event", "place", "serial", "attempt", "slot"};
    if (kind == "progress") {
        keys.insert(keys.end(), {"image", "percent"});
    } else if (kind == "ended") {
        keys.insert(keys.end(), {"result", "exit_status", "message"});
    }
    return keys;
}

bool EventFile::open(const std::string& path, std::string& error) {
    name_ = path == "-" ? "standard output" : "\"" + path + "\"";
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        never_wait();
        return true;
    }
    owned_ = open_appendable(path, O_WRONLY | O_CREAT, "events " + name_, regular_, error);
    if (!owned_) {
        return false;
    }
    fd_ = owned_.get();
    never_wait();
    return true;
}

void EventFile::never_wait() const {
    // A reader that stops reading a pipe must not stop the line (its signals, its records): an
    // event that finds the pipe full is dropped instead. Each line is shorter than PIPE_BUF, so
    // it goes in whole or not at all.
    struct stat info {};
    if (fstat(fd_, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        const int flags = fcntl(fd_, F_GETFL);
        if (flags >= 0) {
            (void)fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        }
    }
}

void EventFile::write(const std::string& line) {
    if (fd_ < 0) {
        return;
    }
    struct stat info {};
    const off_t before = regular_ && fstat(fd_, &info) == 0 ? info.st_size : -1;
    ssize_t written = -1;
    do {
        written = ::write(fd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(line.size())) {
        return;
    }
    const std::string cause = written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)
                                  ? "its reader does not keep up"
                              : written < 0 ? std::strerror(errno)
                                            : "cut short";
    undo_cut_append(fd_, before, written);
    if (!failed_) {
        std::fprintf(stderr,
                     "tovrela-line: an event could not be written to %s (%s); events may be "
                     "missing there; the line goes on\n",
                     name_.c_str(), cause.c_str());
    }
    failed_ = true;
}

} // namespace line
