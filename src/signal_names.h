// The names of the signals that stop the tool or the line, as their messages print them.
#pragma once

#include <csignal>

// "SIGINT" and so on; "a signal" for one without a name here.
constexpr const char* signal_name(int number) {
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGALRM:
        return "SIGALRM";
    case SIGVTALRM:
        return "SIGVTALRM";
    case SIGPROF:
        return "SIGPROF";
    case SIGXCPU:
        return "SIGXCPU";
    default:
        return "a signal";
    }
}
