// The tool's machine channel: with -eventfd=N, one JSON object a line on file descriptor N for
// the program that runs the tool, each with "v":1 (the channel's version) and "event" (what
// happened). The console and "debug.log" do not change. The tool never waits for the channel: an
// event that does not fit into a full pipe is dropped, and the first write error (a closed
// reader, a bad descriptor, a full disk) ends the channel for the rest of the run.
#pragma once

#include <array>
#include <cstdint>

// The channel's version, in every object.
inline constexpr int event_channel_version = 1;

// Opens the channel on the descriptor of -eventfd, when given (0: no channel), in place of any
// earlier one, and forgets the failure line kept. A descriptor that is not open for writing gets
// one line on standard error, and no channel.
void open_event_channel();

// {"event":"register","address":"0x5000","value":"0x0011"}: a register write begins.
void event_register(uint16_t address, uint16_t value);

// {"event":"image","image":1,"bytes":N,"blocks":M}: the flash write of an image begins.
void event_image(int image, uint64_t bytes, uint64_t blocks);

// {"event":"block","image":1,"block":N,"blocks":M}: the chip confirmed block N (from 1) of M.
void event_block(int image, uint64_t block, uint64_t blocks);

// {"event":"chip_version","version":"2.13.15.4","bytes":[2,13,15,0,0,4]}: the chip's version was
// read.
void event_chip_version(const std::array<uint8_t, 6>& bytes);

// {"event":"stop","signal":"SIGINT","line":"Stopped by SIGINT ..."}: the stop line was printed
// (`line` without its line end); it is also the run's failure line when it is the first.
void event_stop(const char* signal, const char* line);

// Prints a failure line through print_message, and keeps the first of the run for the result.
// `libusb_error` is the libusb error code behind the failure, or 0.
void print_failure(int libusb_error, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Notes that the chip took a command frame (a register write, or a flash block's prepare frame),
// or that it reported its last command finished.
void note_command_open(bool open);

// {"event":"result","mode":"update","exit_status":1,"failure":"...","libusb_error":-9}: the end of
// the run with its exit status as the process reports it (`status` modulo 256); "failure" and
// "libusb_error" only after a failure line; "unfinished_command":true when the run ended before
// the chip reported its last command finished (a flash block half sent, or a status not read to
// its end): the chip must not be given another command before a restart. Returns `status`.
int event_result(int status);
