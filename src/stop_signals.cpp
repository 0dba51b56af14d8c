#include "stop_signals.h"

#include "message_output.h"
#include "signal_names.h"
#include "tool_events.h"

#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdio>

namespace {

// The four stop signals of a user or a supervisor, and the others whose default action would end
// the tool in the middle of a step: timers and CPU limits of a supervisor, and the user signals.
constexpr std::array<int, 10> stop_signals{
    {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU}};

volatile std::sig_atomic_t remembered = 0;
bool stop_line_printed = false;

extern "C" void remember_signal(int number) {
    if (remembered != 0) {
        // The second signal: the user means it. End the tool the way the signal would.
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    remembered = number;
}

void set_action(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Interrupted reads and writes of files carry on; the pause and libusb's event wait resume
    // by themselves.
    action.sa_flags = SA_RESTART;
    for (int number : stop_signals) {
        sigaction(number, &action, nullptr);
    }
}

} // namespace

void ignore_broken_pipe() {
    std::signal(SIGPIPE, SIG_IGN);
    // A write past a file size limit is an output error, as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
}

void hold_stop_signals() {
    set_action(remember_signal);
}

void release_stop_signals() {
    set_action(SIG_DFL);
}

int stop_signal() {
    return remembered;
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
