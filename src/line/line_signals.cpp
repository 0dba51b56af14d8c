#include "line_signals.h"

#include <csignal>
#include <sys/signalfd.h>

namespace line {

namespace {

sigset_t handled() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) {
        sigaddset(&set, number);
    }
    return set;
}

} // namespace

LineSignals::LineSignals() {
    const sigset_t set = handled();
    std::signal(SIGPIPE, SIG_IGN);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) == 0) {
        fd_.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    }
}

// The signals stay blocked: one that comes while the line ends must not cut off its exit status.
LineSignals::~LineSignals() = default;

std::vector<int> LineSignals::take() {
    std::vector<int> numbers;
    signalfd_siginfo info{};
    while (read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        numbers.push_back(static_cast<int>(info.ssi_signo));
    }
    return numbers;
}

} // namespace line
