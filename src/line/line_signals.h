// The signals the line acts on, read from a signalfd in its event loop: SIGINT, SIGTERM, SIGHUP
// and SIGQUIT (stop: passed on to every running tool) and SIGCHLD (a tool ended). They are blocked
// from the start of main, before any thread exists, so that only the signalfd sees them.
// SIGPIPE is ignored: a closed standard output never stops the line.
#pragma once

#include "unique_fd.h"

#include <vector>

namespace line {

class LineSignals {
  public:
    LineSignals();
    ~LineSignals();
    LineSignals(const LineSignals&) = delete;
    LineSignals& operator=(const LineSignals&) = delete;

    [[nodiscard]] bool ready() const { return static_cast<bool>(fd_); }
    [[nodiscard]] int fd() const { return fd_.get(); }
    // The signals that arrived since the last call, in order.
    std::vector<int> take();

  private:
    UniqueFd fd_;
};

} // namespace line
