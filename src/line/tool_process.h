// One child tovrela-update: started in its own working folder and its own process group (a
// Ctrl-C at the terminal reaches the line alone, which passes it on once), its standard output
// and error on one pipe, its event channel on another (its descriptor child_event_fd), always
// waited for.
#pragma once

#include "unique_fd.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace line {

// The descriptor on which a child finds the write end of its event pipe: the only one it
// inherits besides its standard input, output and error.
inline constexpr int child_event_fd = 3;

class ToolProcess {
  public:
    // Starts `tool` with `args` in `workdir`; empty (with `error` set) when it cannot start.
    static std::optional<ToolProcess> start(const std::string& tool,
                                            const std::vector<std::string>& args,
                                            const std::string& workdir, std::string& error);
    ~ToolProcess(); // waits for a child that is still running: a tool is never cut off
    ToolProcess(ToolProcess&& other) noexcept;
    ToolProcess& operator=(ToolProcess&&) = delete;
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // The read end of the child's output; closed by `close_output` at its end.
    [[nodiscard]] int output() const { return output_.get(); }
    void close_output() { output_.reset(); }
    // The read end of the child's event channel; closed by `close_events` at its end.
    [[nodiscard]] int events() const { return events_.get(); }
    void close_events() { events_.reset(); }

    // True once the child has ended (without waiting).
    bool ended();
    void signal(int number) const;
    // The child's exit status, or 128 + the signal that ended it.
    [[nodiscard]] int exit_status() const { return exit_status_; }
    [[nodiscard]] bool killed_by_signal() const { return by_signal_; }

  private:
    ToolProcess(pid_t pid, UniqueFd output, UniqueFd events)
        : pid_(pid), output_(std::move(output)), events_(std::move(events)) {}
    pid_t pid_ = -1;
    UniqueFd output_;
    UniqueFd events_;
    bool reaped_ = false;
    int exit_status_ = -1;
    bool by_signal_ = false;
};

} // namespace line
