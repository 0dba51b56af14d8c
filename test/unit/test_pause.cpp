// The real pause: a signal that interrupts it does not shorten it.
#include "pause.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/time.h>

namespace {

extern "C" void ignore_alarm(int /*signal*/) {}

TEST(ProtocolPause, SleepsOnAfterASignal) {
    struct sigaction action {};
    action.sa_handler = ignore_alarm;
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{};
    timer.it_value.tv_usec = 20000; // strikes in the middle of the pause
    setitimer(ITIMER_REAL, &timer, nullptr);

    const auto start = std::chrono::steady_clock::now();
    protocol_pause(120000);
    const auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::microseconds(120000));
}

} // namespace
