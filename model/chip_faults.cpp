#include "chip_parts.h"

#include <algorithm>

namespace chip_model {

parts::FaultEffect parts::fault_effect(Chip& chip, const Setup& setup) {
    const unsigned count = ++chip.faults.request_counts[setup.request];
    const Fault& fault = chip.config.fault;
    FaultEffect effect{0, setup.length, FaultKind::none};
    if (fault.kind == FaultKind::none || fault.request != setup.request || fault.nth != count) {
        return effect;
    }
    switch (fault.kind) {
    case FaultKind::stall:
        effect.failure = error_pipe;
        break;
    case FaultKind::no_device:
        chip.faults.device_gone = true;
        effect.failure = error_no_device;
        break;
    case FaultKind::timeout:
        effect.failure = error_timeout;
        break;
    case FaultKind::short_reply:
        effect.moved = setup.length / 2;
        break;
    case FaultKind::never_finish:
        chip.faults.never_finish = true;
        break;
    case FaultKind::reply_bytes:
        effect.moved = std::min<std::size_t>(setup.length, fault.value);
        effect.reply_kind = fault.kind;
        break;
    case FaultKind::bad_check:
    case FaultKind::state:
        effect.reply_kind = fault.kind;
        break;
    case FaultKind::none:
        break;
    }
    return effect;
}

} // namespace chip_model
