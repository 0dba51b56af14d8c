// Interruptions by the user or a supervising script. While the hub is open, the first stop
// signal is only remembered: the chip step in progress (a register write with its status poll,
// or a flash block with its CRC and status poll) always finishes, and the chip operations stop
// at the next step boundary. The stop signals are every signal that ends a process by default
// and comes from outside it (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
// SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR, SIGIO, SIGSTKFLT and the real-time signals SIGRTMIN to
// SIGRTMAX), not the faults of the tool itself. Stop signals within a second of the first are
// the same request (a supervisor signals the tool and then its process group); one that comes
// later ends the tool at once.
#pragma once

// SIGPIPE and SIGXFSZ are ignored for the whole run: a closed standard output, or one past a file
// size limit, must not end an update.
void ignore_broken_pipe();

// Around the start of libusb: a thread starts with the signal mask of the thread that starts it,
// so with the stop signals blocked meanwhile libusb's threads never take one. Every stop signal is
// then handled on the main thread, the one that checks for it between the chip steps, before that
// thread goes on (handled on another thread, one that waits for its turn on a busy machine, it
// could come steps later).
void block_stop_signals();
void unblock_stop_signals();

// From the open of the hub: the stop signals are remembered instead of ending the tool.
void hold_stop_signals();

// At the close of the hub: the stop signals take their default action again.
void release_stop_signals();

// The signal remembered since hold_stop_signals, or 0.
[[nodiscard]] int stop_signal();

// Prints the one line of a stop: "Stopped by SIGxxx <text>\n". The text, printf-style from
// `format` and the arguments after it (cut to 255 characters), says where the tool stopped and
// what that means for the chip.
void report_stop(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True once report_stop printed its line.
[[nodiscard]] bool stop_reported();

// What an interrupted update leaves, as the stop line says it.
constexpr const char* flash_incomplete =
    "; the chip's flash is incomplete: run the update again without unplugging the hub";
