#include "open_attempts.h"

#include "hub_job.h"
#include "signal_names.h"
#include "tool_output.h"
#include "tool_process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <vector>

namespace line {

namespace {

using Json = nlohmann::ordered_json;
using Wall = std::chrono::system_clock;

constexpr int attempt_file_version = 1;
constexpr int wait_tick_ms = 250;

std::string real_path(const std::string& path) {
    std::array<char, PATH_MAX> resolved{};
    return realpath(path.c_str(), resolved.data()) != nullptr ? resolved.data() : "";
}

std::string base_name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::optional<std::string> read_file(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

void sync_folder(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        (void)fsync(fd.get());
    }
}

// `text` as the whole of `path`, on disk, replacing what was there in one step.
bool replace_file(const std::string& path, std::string_view text) {
    const std::string temporary = path + ".new";
    {
        const UniqueFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd || !write_all(fd.get(), text.data(), text.size()) || fsync(fd.get()) != 0) {
            const int saved = errno;
            ::unlink(temporary.c_str());
            errno = saved;
            return false;
        }
    }
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string attempt_text(std::string_view line, bool final, Wall::time_point started,
                         bool only_outdated) {
    Json state = Json::object();
    state["v"] = attempt_file_version;
    state["final"] = final;
    state["started_ns"] =
        std::chrono::duration_cast<std::chrono::nanoseconds>(started.time_since_epoch()).count();
    state["only_outdated"] = only_outdated;
    state["line"] = std::string(line);
    return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// The last change of a file in the working folder: the end of the attempt as far as it is
// known (a tool writes its result and its last output just before it ends).
Wall::time_point last_change(const std::string& folder, Wall::time_point since) {
    Wall::time_point last = since;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return last;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat info {};
        std::string path = folder;
        path += '/';
        path += name;
        if (name.starts_with(attempt_file_name) || stat(path.c_str(), &info) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        const auto changed = Wall::time_point(std::chrono::duration_cast<Wall::duration>(
            std::chrono::seconds(info.st_mtim.tv_sec) +
            std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
        last = std::max(last, changed);
    }
    closedir(listing);
    return last;
}

std::vector<Step> job_steps(const std::string& job) {
    if (job == "update") {
        return {Step::check, Step::update};
    }
    return {job == "check" ? Step::check : Step::version_read};
}

// What the steps' events in `folder` say of an attempt whose line ended, as the line would have
// recorded it had it been stopped at that moment: the record's result, exit status, message and
// version before.
AttemptOutcome outcome_of(const std::string& folder, const std::vector<Step>& steps,
                          bool only_outdated) {
    AttemptOutcome outcome;
    std::optional<Step> last;
    ToolOutput said({.image0 = 1, .image1 = 1});
    for (const Step step : steps) {
        const auto events = read_file(folder + "/" + events_file_name(step));
        if (!events) {
            break;
        }
        last = step;
        said = ToolOutput({.image0 = 1, .image1 = 1});
        said.feed(*events);
        said.finish();
        if (step != Step::update) {
            outcome.version_before = said.chip_version();
        }
    }
    if (!last) {
        outcome.result = result::stopped;
        outcome.message = "the line ended before this hub's tool ran";
        return outcome;
    }
    const auto& result = said.result();
    if (result) {
        outcome.exit_status = result->exit_status;
    }
    outcome.result = step_result(*last, result ? result->exit_status : -1, false, said);
    const bool update_next = steps.back() == Step::update && *last == Step::check;
    const bool check_ends_it =
        outcome.result == result::busy || outcome.result == result::unplugged ||
        outcome.result == result::not_found || outcome.result == result::stopped ||
        (only_outdated && outcome.result == result::up_to_date);
    if (update_next && !check_ends_it) {
        outcome.result = result::stopped;
        outcome.message = "the line ended before this hub's update";
    } else if (!good_result(outcome.result)) {
        const std::string failure = said.failure();
        outcome.message =
            !failure.empty() ? failure
            : !result        ? "the tool ended without its result"
                      : "the tool ended with exit status " + std::to_string(result->exit_status);
    }
    return outcome;
}

std::string place_of(const Json& line) {
    const std::string path = line.value("path", "");
    return std::to_string(line.value("bus", 0)) + "-" + (path.empty() ? "0" : path);
}

void say(const std::string& text) {
    std::fprintf(stderr, "tovrela-line: %s\n", text.c_str());
}

// True when `record` holds `line` as one of its lines.
bool record_holds(const std::string& record, std::string_view line) {
    const auto text = read_file(record);
    return text &&
           (text->starts_with(line) || text->find("\n" + std::string(line)) != std::string::npos);
}

// Waits until no tool writes `events`. 0, or 128 + the stop signal that came meanwhile.
int wait_for_tool(const std::string& events, LineSignals& signals) {
    while (events_writer(events) == EventsWriter::running) {
        pollfd ready{signals.fd(), POLLIN, 0};
        poll(&ready, 1, wait_tick_ms);
        for (const int number : signals.take()) {
            if (number != SIGCHLD) {
                say(std::string(signal_name(number)) +
                    ": no hub started; the records still open are completed by the next run");
                return 128 + number;
            }
        }
    }
    return 0;
}

// The events file of the step an open attempt ran last (or would run first).
std::string last_events(const std::string& folder, const std::string& job) {
    std::string last = folder + "/" + events_file_name(job_steps(job).front());
    for (const Step step : job_steps(job)) {
        const std::string path = folder + "/" + events_file_name(step);
        struct stat info {};
        if (stat(path.c_str(), &info) == 0) {
            last = path;
        }
    }
    return last;
}

} // namespace

bool OpenAttempts::open(const std::string& record, std::string& error) {
    struct stat info {};
    if (stat(record.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return true;
    }
    record_ = real_path(record);
    const std::string folder = record_ + ".open";
    if (record_.empty() || (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) ||
        stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "record \"" + record + "\": the folder of its open attempts \"" + record +
                ".open\" cannot be made: " + std::strerror(errno != 0 ? errno : ENOTDIR);
        return false;
    }
    folder_ = folder;
    return true;
}

OpenAttempts::~OpenAttempts() {
    if (!folder_.empty() && entries_.empty()) {
        ::rmdir(folder_.c_str()); // fails, as it should, while any attempt is open
    }
}

bool OpenAttempts::begin(const std::string& attempt, std::string_view line,
                         Wall::time_point started, bool only_outdated, std::string& error) {
    if (folder_.empty()) {
        return true;
    }
    const std::string target = real_path(attempt);
    Entry entry;
    entry.lock.reset(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string file = attempt + "/" + attempt_file_name;
    if (target.empty() || !entry.lock || flock(entry.lock.get(), LOCK_EX | LOCK_NB) != 0 ||
        !replace_file(file, attempt_text(line, false, started, only_outdated)) ||
        fsync(entry.lock.get()) != 0) {
        error = "the attempt in \"" + attempt + "\" cannot be noted: " + std::strerror(errno);
        return false;
    }
    // Named after the run and the place: in the order of the runs, and unique.
    const std::string name =
        base_name(target.substr(0, target.rfind('/'))) + "_" + base_name(target);
    for (int n = 1; entry.link.empty(); ++n) {
        const std::string link = folder_ + "/" + name + (n == 1 ? "" : "." + std::to_string(n));
        if (symlink(target.c_str(), link.c_str()) == 0) {
            entry.link = link;
        } else if (errno == ENOENT && mkdir(folder_.c_str(), 0755) == 0) {
            continue; // removed by another line that ended with nothing open: made again
        } else if (errno != EEXIST || n >= 10000) {
            error = "\"" + link + "\" cannot be made: " + std::strerror(errno);
            ::unlink(file.c_str());
            return false;
        }
    }
    sync_folder(folder_);
    entries_[attempt] = std::move(entry);
    return true;
}

void OpenAttempts::settle(const std::string& attempt, const std::string& line) {
    const auto found = entries_.find(attempt);
    if (found == entries_.end()) {
        return;
    }
    // Not written: the start noted before still lets the next run complete it.
    (void)replace_file(attempt + "/" + attempt_file_name, attempt_text(line, true, {}, false));
    found->second.settled = true;
}

void OpenAttempts::close_settled() {
    bool closed = false;
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (!entry->second.settled) {
            ++entry;
            continue;
        }
        // The link first: a later run that finds the folder without its link leaves it alone.
        ::unlink(entry->second.link.c_str());
        ::unlink((entry->first + "/" + attempt_file_name).c_str());
        entry = entries_.erase(entry);
        closed = true;
    }
    if (closed) {
        sync_folder(folder_);
    }
}

std::optional<std::string> completed_line(const std::string& attempt, bool& final,
                                          std::string& error) {
    const auto text = read_file(attempt + "/" + attempt_file_name);
    const Json state = text ? Json::parse(*text, nullptr, false) : Json();
    if (!state.is_object() || !state.contains("line") || !state["line"].is_string()) {
        error = text ? "its attempt file is damaged" : "its attempt file cannot be read";
        return std::nullopt;
    }
    const std::string line = state["line"];
    final = state.value("final", false);
    if (final) {
        return line;
    }
    Json record = Json::parse(line, nullptr, false);
    if (!record.is_object()) {
        error = "its attempt file is damaged";
        return std::nullopt;
    }
    const Wall::time_point started(std::chrono::duration_cast<Wall::duration>(
        std::chrono::nanoseconds(state.value("started_ns", int64_t{0}))));
    // The fields that change, as the record writes them.
    AttemptRecord end;
    end.outcome = outcome_of(attempt, job_steps(record.value("job", "")),
                             state.value("only_outdated", false));
    end.started = started;
    end.ended = last_change(attempt, started);
    const Json stamped = Json::parse(record_line(end));
    for (const char* field :
         {"ended", "seconds", "version_before", "result", "exit_status", "message"}) {
        if (record.contains(field)) {
            record[field] = stamped[field];
        }
    }
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

namespace {

// Completes the attempt the journal's `link` leads to, unless a living line holds it. 0, or what
// complete_open_attempts returns when it ends early.
int complete_attempt(const OpenAttempts& open, const std::string& link, RecordFile& record,
                     LineSignals& signals) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = readlink(link.c_str(), target.data(), target.size() - 1);
    if (length <= 0) {
        return 0;
    }
    const std::string attempt(target.data(), static_cast<std::size_t>(length));
    // A living line holds its attempts' folders: those are not left open.
    const UniqueFd lock(::open(attempt.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (lock && (flock(lock.get(), LOCK_EX | LOCK_NB) != 0 || lstat(link.c_str(), &info) != 0)) {
        return 0;
    }
    const auto state = read_file(attempt + "/" + attempt_file_name);
    const Json start = state ? Json::parse(*state, nullptr, false) : Json();
    const Json first = start.is_object() && start.contains("line") && start["line"].is_string()
                           ? Json::parse(start["line"].get<std::string>(), nullptr, false)
                           : Json();
    if (!lock || !first.is_object()) {
        say("the attempt left open in \"" + attempt +
            "\" cannot be completed: its folder or its attempt file is gone or damaged; it is "
            "forgotten");
        ::unlink(link.c_str());
        return 0;
    }
    const std::string events = last_events(attempt, first.value("job", ""));
    const bool waits = events_writer(events) == EventsWriter::running;
    const std::string which = place_of(first) + " from the run " + first.value("run", "");
    say("completing the record of " + which + (waits ? ": waiting for its tool" : ""));
    if (const int stop = wait_for_tool(events, signals); stop != 0) {
        return stop;
    }
    bool final = false;
    std::string error;
    const auto line = completed_line(attempt, final, error);
    if (!line) {
        say("the record of " + which + " cannot be completed: " + error);
        ::unlink(link.c_str());
        return 0;
    }
    if (!(final && record_holds(open.record(), *line)) && !record.append(*line)) {
        say("the record of " + which + " could not be written; it stays open for the next run");
        return 1;
    }
    ::unlink(link.c_str());
    ::unlink((attempt + "/" + attempt_file_name).c_str());
    sync_folder(open.folder());
    return 0;
}

} // namespace

int complete_open_attempts(const OpenAttempts& open, RecordFile& record, LineSignals& signals) {
    if (open.folder().empty()) {
        return 0;
    }
    std::vector<std::string> names;
    if (DIR* listing = opendir(open.folder().c_str()); listing != nullptr) {
        while (const dirent* entry = readdir(listing)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (const int status = complete_attempt(open, open.folder() + "/" + name, record, signals);
            status != 0) {
            return status;
        }
    }
    return 0;
}

} // namespace line
