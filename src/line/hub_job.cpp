#include "hub_job.h"

#include "tool_exit_status.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <libusb.h>

namespace line {

namespace {

std::string hex_option(const char* name, uint16_t value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "-%s=%04x", name, value);
    return text.data();
}

// A serial number the tool takes as the value of -serial: 1 to 511 characters without blanks.
bool passable_serial(const std::string& serial) {
    return !serial.empty() && serial.size() <= 511 &&
           std::all_of(serial.begin(), serial.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

} // namespace

bool good_result(const std::string& text) {
    return text == result::passed || text == result::up_to_date ||
           text == result::update_available || text == result::listed;
}

std::vector<std::string> tool_args(const HubInfo& hub, Step step) {
    // Every mode option is given, so that a mode switched on in "update.ini" changes nothing.
    std::vector<std::string> args{hex_option("vid", hub.vid), hex_option("pid", hub.pid),
                                  "-bus=" + std::to_string(hub.bus)};
    // "-path=0" made exact selects the hub without ports (a root hub), not any hub.
    args.push_back("-path=" + (hub.ports.empty() ? std::string("0") : hub.path_text()));
    args.emplace_back("-exactpath=1");
    // Another board put in its place is not this one.
    if (hub.serial && passable_serial(*hub.serial)) {
        args.push_back("-serial=" + *hub.serial);
    }
    args.push_back("-eventfd=" + std::to_string(child_event_fd));
    args.emplace_back("-selftest=0");
    switch (step) {
    case Step::check:
        args.emplace_back("-checkupdateonly=1");
        break;
    case Step::version_read:
    case Step::version_after:
        args.emplace_back("-checkupdateonly=0");
        args.emplace_back("-readveronly=1");
        break;
    case Step::update:
    case Step::queued:
    case Step::done:
        args.emplace_back("-checkupdateonly=0");
        args.emplace_back("-readveronly=0");
        args.emplace_back("-readbinonly=0");
        break;
    }
    return args;
}

std::string step_result(Step step, const ToolProcess& process, const ToolOutput& output) {
    return step_result(step, process.exit_status(), process.killed_by_signal(), output);
}

std::string step_result(Step step, int status, bool by_signal, const ToolOutput& output) {
    const auto& said = output.result();
    if (by_signal || output.stopped()) {
        return result::stopped;
    }
    if (status == tool_exit::busy) {
        return result::busy;
    }
    if (status == tool_exit::not_found) {
        return result::not_found;
    }
    if (status == tool_exit::vanished || (said && said->libusb_error == LIBUSB_ERROR_NO_DEVICE)) {
        return result::unplugged;
    }
    // Only a run whose result the tool sent, with the status it exited with, did its job.
    if (!said || said->exit_status != status) {
        return result::failed;
    }
    if (step == Step::check) {
        return status == tool_exit::ok           ? result::update_available
               : status == tool_exit::up_to_date ? result::up_to_date
                                                 : result::failed;
    }
    if (status != tool_exit::ok) {
        return result::failed;
    }
    return step == Step::update ? result::passed : result::listed;
}

std::string events_file_name(Step step) {
    if (step == Step::check) {
        return "check.events";
    }
    if (step == Step::version_read) {
        return "read_version.events";
    }
    return step == Step::version_after ? "version_after.events" : "update.events";
}

} // namespace line
