// The names of the signals that stop the tool or the line, as their messages print them.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>

namespace signal_names {

struct Named {
    int number;
    const char* name;
};

// Every signal but the real-time ones that ends a process by default and comes from outside it:
// from a user, a supervisor, a timer, a limit or the power supply. Not among them: SIGPIPE and
// SIGXFSZ, which the tool ignores, and the faults of a process itself (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGABRT, SIGTRAP, SIGSYS).
inline constexpr std::array<Named, 13> classic{{
    {SIGINT, "SIGINT"},
    {SIGTERM, "SIGTERM"},
    {SIGHUP, "SIGHUP"},
    {SIGQUIT, "SIGQUIT"},
    {SIGUSR1, "SIGUSR1"},
    {SIGUSR2, "SIGUSR2"},
    {SIGALRM, "SIGALRM"},
    {SIGVTALRM, "SIGVTALRM"},
    {SIGPROF, "SIGPROF"},
    {SIGXCPU, "SIGXCPU"},
    {SIGPWR, "SIGPWR"},
    {SIGIO, "SIGIO"},
    {SIGSTKFLT, "SIGSTKFLT"},
}};

// The real-time signals an application may use: glibc keeps 32 and 33 for itself, so SIGRTMIN
// is 34 (a value glibc gives at run time) and SIGRTMAX 64. Named as the shell's "kill -l" names
// them, from each end of the range.
inline constexpr int first_realtime = 34;
inline constexpr int last_realtime = 64;
static_assert(__SIGRTMAX == last_realtime);

inline constexpr std::array<const char*, last_realtime - first_realtime + 1> realtime{
    "SIGRTMIN",    "SIGRTMIN+1",  "SIGRTMIN+2",  "SIGRTMIN+3",  "SIGRTMIN+4",  "SIGRTMIN+5",
    "SIGRTMIN+6",  "SIGRTMIN+7",  "SIGRTMIN+8",  "SIGRTMIN+9",  "SIGRTMIN+10", "SIGRTMIN+11",
    "SIGRTMIN+12", "SIGRTMIN+13", "SIGRTMIN+14", "SIGRTMIN+15", "SIGRTMAX-14", "SIGRTMAX-13",
    "SIGRTMAX-12", "SIGRTMAX-11", "SIGRTMAX-10", "SIGRTMAX-9",  "SIGRTMAX-8",  "SIGRTMAX-7",
    "SIGRTMAX-6",  "SIGRTMAX-5",  "SIGRTMAX-4",  "SIGRTMAX-3",  "SIGRTMAX-2",  "SIGRTMAX-1",
    "SIGRTMAX"};

} // namespace signal_names

// "SIGINT", "SIGRTMIN+3" and so on; "a signal" for one without a name here.
constexpr const char* signal_name(int number) {
    for (const auto& [known, name] : signal_names::classic) {
        if (known == number) {
            return name;
        }
    }
    if (number >= signal_names::first_realtime && number <= signal_names::last_realtime) {
        return signal_names::realtime[static_cast<std::size_t>(number -
                                                               signal_names::first_realtime)];
    }
    return "a signal";
}
