#include "tool_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace line {

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> result;
    result.reserve(words.size() + 1);
    for (auto& word : words) {
        result.push_back(word.data());
    }
    result.push_back(nullptr);
    return result;
}

// The attributes of every child: its own process group, no blocked signals, and the stop
// signals and SIGPIPE at their defaults, as when a person starts the tool.
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
        posix_spawnattr_setpgroup(&attributes_, 0);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                   POSIX_SPAWN_SETPGROUP);
        posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions_, output, 1);
        posix_spawn_file_actions_adddup2(&actions_, output, 2);
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
                                              const std::string& workdir, std::string& error) {
    int ends[2];
    int event_ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("no pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd read_end(ends[0]);
    const UniqueFd write_end(ends[1]);
    if (pipe2(event_ends, O_CLOEXEC) != 0) {
        error = std::string("no pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd events(event_ends[0]);
    const UniqueFd events_write(event_ends[1]);
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    const SpawnSetup setup(write_end.get(), events_write.get(), workdir);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, tool.c_str(), setup.actions(), setup.attributes(),
                                   pointers(argv).data(), environ);
    if (failed != 0) {
        error = tool + " cannot be started: " + std::strerror(failed);
        return std::nullopt;
    }
    for (const int fd : {read_end.get(), events.get()}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return ToolProcess(pid, std::move(read_end), std::move(events));
}

ToolProcess::ToolProcess(ToolProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), output_(std::move(other.output_)),
      events_(std::move(other.events_)), reaped_(other.reaped_), exit_status_(other.exit_status_),
      by_signal_(other.by_signal_) {}

ToolProcess::~ToolProcess() {
    output_.reset();
    events_.reset();
    while (pid_ > 0 && !reaped_) {
        int status = 0;
        if (waitpid(pid_, &status, 0) == pid_ || errno != EINTR) {
            reaped_ = true;
        }
    }
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

} // namespace line
