#include "tool_process.h"

#include "exec_words.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>

extern char** environ;

namespace line {

namespace {

// The attributes of every child: its own session (so its own process group: a Ctrl-C at the
// terminal reaches the line alone, and a line that dies leaves no orphaned group of the line's
// session that the kernel would hang up), no blocked signals, and the stop signals and SIGPIPE at
// their defaults, as when a person starts the tool.
class SpawnSetup {
  public:
    SpawnSetup(int output, int events, const std::string& workdir) {
        posix_spawnattr_init(&attributes_);
        posix_spawn_file_actions_init(&actions_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) {
            sigaddset(&defaults, number);
        }
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                   POSIX_SPAWN_SETSID);
        posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        if (output >= 0) {
            posix_spawn_file_actions_adddup2(&actions_, output, 1);
        } else {
            posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions_, 1, 2);
        // Without close-on-exec in the child alone (also when `events` is that descriptor).
        posix_spawn_file_actions_adddup2(&actions_, events, child_event_fd);
        posix_spawn_file_actions_addchdir_np(&actions_, workdir.c_str());
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    [[nodiscard]] const posix_spawn_file_actions_t* actions() const { return &actions_; }
    [[nodiscard]] const posix_spawnattr_t* attributes() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
    posix_spawn_file_actions_t actions_{};
};

} // namespace

std::optional<ToolProcess> ToolProcess::start(const std::string& tool,
                                              const std::vector<std::string>& args,
                                              const std::string& workdir, int output,
                                              const std::string& events, std::string& error) {
    // The lock is taken on the child's own open file description before it exists: the line's
    // copy is closed once the child runs, and the lock lives exactly as long as the tool.
    const UniqueFd channel(
        ::open(events.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (!channel || flock(channel.get(), LOCK_EX | LOCK_NB) != 0) {
        error = "\"" + events + "\" cannot be made: " + std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd reader(::open(events.c_str(), O_RDONLY | O_CLOEXEC));
    if (!reader) {
        error = "\"" + events + "\" cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    const SpawnSetup setup(output, channel.get(), workdir);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, tool.c_str(), setup.actions(), setup.attributes(),
                                   exec_words(argv).data(), environ);
    if (failed != 0) {
        error = tool + " cannot be started: " + std::strerror(failed);
        return std::nullopt;
    }
    return ToolProcess(pid, std::move(reader));
}

ToolProcess::ToolProcess(ToolProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), events_(std::move(other.events_)),
      reaped_(other.reaped_), exit_status_(other.exit_status_), by_signal_(other.by_signal_) {}

ToolProcess::~ToolProcess() {
    while (pid_ > 0 && !reaped_) {
        int status = 0;
        if (waitpid(pid_, &status, 0) == pid_ || errno != EINTR) {
            reaped_ = true;
        }
    }
}

std::string ToolProcess::new_events() {
    std::string text;
    std::array<char, 65536> buffer{};
    for (ssize_t got = 0; events_;) {
        got = ::read(events_.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // the end of what is written so far
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return text;
}

bool ToolProcess::ended() {
    if (reaped_ || pid_ <= 0) {
        return true;
    }
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == 0 || (got < 0 && errno == EINTR)) {
        return false;
    }
    reaped_ = true;
    if (got == pid_ && WIFEXITED(status)) {
        exit_status_ = WEXITSTATUS(status);
    } else if (got == pid_ && WIFSIGNALED(status)) {
        by_signal_ = true;
        exit_status_ = 128 + WTERMSIG(status);
    }
    return true;
}

void ToolProcess::signal(int number) const {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, number);
    }
}

EventsWriter events_writer(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        return EventsWriter::no_file;
    }
    int locked = -1;
    do {
        locked = flock(file.get(), LOCK_SH | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    return locked == 0 ? EventsWriter::ended : EventsWriter::running;
}

} // namespace line
