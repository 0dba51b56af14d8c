#include "stop_signals.h"

#include "message_output.h"
#include "signal_names.h"
#include "tool_events.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

// Signals that come within this time of the first are the same request: a supervisor such as
// GNU timeout sends its signal to the tool and at once again to the tool's process group, and a
// terminal's Ctrl-C may reach the tool through a wrapper too.
constexpr uint32_t same_request_ms = 1000;

// The first stop signal since hold_stop_signals, or 0. Written by the handler and read between
// the steps: lock-free atomics, safe in a signal handler.
std::atomic<int> remembered{0};
// When it came: the monotonic clock in milliseconds, cut to 32 bits (differences are right for
// 49 days), never 0; 0 until the first came.
std::atomic<uint32_t> first_arrival_ms{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free);

bool stop_line_printed = false;

// The real time since boot (clock_gettime is async-signal-safe). Signals arrive in real time, so
// the gap between two of them is never measured on a virtual clock of paused time.
uint32_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                          static_cast<uint64_t>(now.tv_nsec) / 1000000u);
    return ms == 0 ? 1 : ms;
}

// Every stop signal: the named ones and the real-time signals an application may receive.
template <typename Action> void for_each_stop_signal(Action action) {
    for (const auto& named : signal_names::classic) {
        action(named.number);
    }
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        action(number);
    }
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for_each_stop_signal([&set](int number) { sigaddset(&set, number); });
    return set;
}

// The user, or the supervisor, means it: end the tool the way the signal would.
void end_at_once(int number) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
    raise(number);
}

extern "C" void remember_signal(int number) {
    const int saved_errno = errno;
    const uint32_t now = monotonic_ms();
    uint32_t first = 0;
    if (first_arrival_ms.compare_exchange_strong(first, now)) {
        remembered.store(number);
    } else if (now - first >= same_request_ms) {
        end_at_once(number);
    }
    errno = saved_errno;
}

void set_action(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    // While one stop signal is handled, the others wait.
    action.sa_mask = stop_signal_set();
    // Interrupted reads and writes of files carry on; the pause and libusb's event wait resume
    // by themselves.
    action.sa_flags = SA_RESTART;
    for_each_stop_signal([&action](int number) { sigaction(number, &action, nullptr); });
}

} // namespace

void ignore_broken_pipe() {
    std::signal(SIGPIPE, SIG_IGN);
    // A write past a file size limit is an output error, as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
}

void block_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void hold_stop_signals() {
    set_action(remember_signal);
}

void release_stop_signals() {
    set_action(SIG_DFL);
}

int stop_signal() {
    return remembered.load();
}

void report_stop(const char* format, ...) {
    std::array<char, 256> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    std::array<char, 300> line{};
    std::snprintf(line.data(), line.size(), "Stopped by %s %s", signal_name(stop_signal()),
                  text.data());
    print_message("%s\n", line.data());
    event_stop(signal_name(stop_signal()), line.data());
    stop_line_printed = true;
}

bool stop_reported() {
    return stop_line_printed;
}
