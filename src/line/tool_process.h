// One child tovrela-update: started in its own working folder and its own process group (a
// Ctrl-C at the terminal reaches the line alone, which passes it on once), its standard output
// and error on one pipe, always waited for.
#pragma once

#include "unique_fd.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace line {

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

    // True once the child has ended (without waiting).
    bool ended();
    void signal(int number) const;
    // The child's exit status, or 128 + the signal that ended it.
    [[nodiscard]] int exit_status() const { return exit_status_; }
    [[nodiscard]] bool killed_by_signal() const { return by_signal_; }

  private:
    ToolProcess(pid_t pid, UniqueFd output) : pid_(pid), output_(std::move(output)) {}
    pid_t pid_ = -1;
    UniqueFd output_;
    bool reaped_ = false;
    int exit_status_ = -1;
    bool by_signal_ = false;
};

} // namespace line
