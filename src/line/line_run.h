// The line's event loop: boards queued, started (at most --jobs at once), followed through their
// tools' output, finished and recorded; signals passed on; with --watch, the hubs listed every
// half second and each new board queued.
#pragma once

#include "attempt_record.h"
#include "display.h"
#include "images.h"
#include "line_events.h"
#include "line_options.h"
#include "line_signals.h"
#include "open_attempts.h"
#include "run_folder.h"
#include "slots.h"
#include "usb_listing.h"

#include <string>
#include <vector>

namespace line {

struct LineSetup {
    const LineOptions& options;
    const ImageSet& images;
    const RunFolder& run;
    RecordFile& record;
    std::string host;
    OpenAttempts& open_attempts; // of the record, for the next run when this one dies
    EventFile& events;
    const SlotTable& slots;
};

// True when the line handles the hub at `place`: with --only-slots, the slots' places only.
bool handled_place(const LineOptions& options, const SlotTable& slots, const std::string& place);

// Runs the job on the hubs of `listing` (and, with --watch, on every board plugged in later);
// returns the line's exit status.
int run_line(const LineSetup& setup, LineSignals& signals, Display& display,
             const std::vector<HubInfo>& listing);

} // namespace line
