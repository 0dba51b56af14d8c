// One child tovrela-update: started in its own working folder and its own session (a Ctrl-C at
// the terminal reaches the line alone, which passes it on once), always waited for.
// Nothing of the child depends on the line staying alive: its standard output and error go
// straight to its log file and its event channel to a file of its own in its working folder,
// which the line reads as it grows. The child holds an exclusive flock on that events file for
// as long as it runs (it inherits the locked open file description as its channel, and the line
// keeps no copy), so that a later run of the line can wait for a tool it did not start.
#pragma once

#include "unique_fd.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace line {

// The descriptor on which a child finds its events file: the only one it inherits besides its
// standard input, output and error.
inline constexpr int child_event_fd = 3;

class ToolProcess {
  public:
    // Starts `tool` with `args` in `workdir`, its standard output and error appended to `output`
    // (a descriptor; /dev/null when negative) and its events to the file `events`, made anew;
    // empty (with `error` set) when it cannot start.
    static std::optional<ToolProcess> start(const std::string& tool,
                                            const std::vector<std::string>& args,
                                            const std::string& workdir, int output,
                                            const std::string& events, std::string& error);
    ~ToolProcess(); // waits for a child that is still running: a tool is never cut off
    ToolProcess(ToolProcess&& other) noexcept;
    ToolProcess& operator=(ToolProcess&&) = delete;
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // What the child added to its events file since the last call.
    std::string new_events();

    // True once the child has ended (without waiting).
    bool ended();
    void signal(int number) const;
    // The child's exit status, or 128 + the signal that ended it.
    [[nodiscard]] int exit_status() const { return exit_status_; }
    [[nodiscard]] bool killed_by_signal() const { return by_signal_; }

  private:
    ToolProcess(pid_t pid, UniqueFd events) : pid_(pid), events_(std::move(events)) {}
    pid_t pid_ = -1;
    UniqueFd events_; // read only, with its own offset
    bool reaped_ = false;
    int exit_status_ = -1;
    bool by_signal_ = false;
};

// Whether a tool still runs that writes the events file `path`.
enum class EventsWriter { running, ended, no_file };
EventsWriter events_writer(const std::string& path);

} // namespace line
