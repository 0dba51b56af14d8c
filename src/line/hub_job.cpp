#include "hub_job.h"

#include <array>
#include <cstdio>

namespace line {

namespace {

std::string hex_option(const char* name, uint16_t value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "-%s=%04x", name, value);
    return text.data();
}

// Exit statuses of the tool that every step reads alike.
constexpr int busy_status = 250;
constexpr int not_found_status = 251;
constexpr int vanished_status = 252;

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
    args.emplace_back("-selftest=0");
    switch (step) {
    case Step::check:
        args.emplace_back("-checkupdateonly=1");
        break;
    case Step::version_read:
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
    const int status = process.exit_status();
    const std::string& failure = output.last_failure();
    if (process.killed_by_signal() || output.stopped()) {
        return result::stopped;
    }
    if (status == busy_status) {
        return result::busy;
    }
    if (status == not_found_status || status == vanished_status ||
        failure.find(" Fail -4") != std::string::npos ||
        failure.find("LIBUSB_ERROR_NO_DEVICE") != std::string::npos) {
        return result::unplugged;
    }
    switch (step) {
    case Step::check:
        return status == 0   ? result::update_available
               : status == 7 ? result::up_to_date
                             : result::failed;
    case Step::version_read:
        return status == 0 && output.status_ok() ? result::listed : result::failed;
    case Step::update:
    case Step::queued:
    case Step::done:
        break;
    }
    return status == 0 && output.passed() && output.status_ok() ? result::passed : result::failed;
}

} // namespace line
