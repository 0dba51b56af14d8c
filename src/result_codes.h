// The result codes that callers test exactly, named once for the code and its tests.
#pragma once

#include "tool_exit_status.h"

namespace rc {
// The 1/0 operations: control transfers, register and flash operations, image loads and reads,
// profile lookups (found or not) and the hub's lock (held here or elsewhere).
inline constexpr int done = 1;
inline constexpr int failed = 0;
// load_settings, the option lookups and the hub selection.
inline constexpr int ok = 0;
inline constexpr int too_long = -1;       // a profile entry on a line longer than the reader takes
inline constexpr int missing = -2;        // no arguments; option text, name or destination absent
inline constexpr int no_device_list = -4; // the USB device list is unavailable
inline constexpr int not_found = -5;      // no such option or no value after it; no matching hub
inline constexpr int no_memory = -11;     // no memory for the command-line text
inline constexpr int refused = -22;       // an argument or a profile entry refused (usage error)
} // namespace rc

// The tool ends with these codes; the programs that run it read them as these exit statuses.
static_assert(256 + rc::not_found == tool_exit::not_found &&
              256 + rc::no_device_list == tool_exit::vanished);

namespace update_check { // results of check_fw_update
inline constexpr int available = tool_exit::ok;
inline constexpr int up_to_date = tool_exit::up_to_date;
inline constexpr int device_version_unread = -1;
inline constexpr int image_version_unread = -2;
} // namespace update_check
