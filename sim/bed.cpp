#include "bed.h"

#include <glib.h>

#include <algorithm>

namespace sim {

void WorkThread::start() {
    const std::scoped_lock hold(lock);
    if (!running && !stopping) {
        running = true;
        thread = std::thread([this] { run(); });
    }
}

bool WorkThread::post(std::function<void()> work) {
    const std::scoped_lock hold(lock);
    if (!running || stopping) {
        return false;
    }
    queue.push_back(std::move(work));
    wake.notify_one();
    return true;
}

void WorkThread::stop() {
    {
        const std::scoped_lock hold(lock);
        stopping = true;
        wake.notify_one();
    }
    if (thread.joinable()) {
        thread.join();
    }
}

void WorkThread::run() {
    std::unique_lock hold(lock);
    for (;;) {
        wake.wait(hold, [this] { return stopping || !queue.empty(); });
        if (queue.empty()) {
            return; // stopping, with nothing left to do
        }
        std::function<void()> work = std::move(queue.front());
        queue.pop_front();
        hold.unlock();
        work();
        hold.lock();
    }
}

Hub& add_hub(Bed& bed) {
    Hub& hub = bed.hubs.emplace_back();
    hub.index = bed.hubs.size() - 1;
    return hub;
}

void collect_pauses(EventLog& log, const virtual_clock::Header* clock) {
    if (clock == nullptr) {
        return;
    }
    const uint64_t count = clock->count.load();
    const uint64_t kept = std::min<uint64_t>(count, clock->capacity);
    uint64_t i = log.pauses_seen;
    for (; i < kept; ++i) {
        const auto& pause = virtual_clock::records(clock)[i];
        const int32_t pid = pause.pid.load();
        if (pid == 0) {
            break; // still being written; taken at the next call
        }
        if (log.keep) {
            auto hub = log.hub_of_process.find(pid);
            log.events.push_back({Event::Kind::pause,
                                  hub != log.hub_of_process.end() ? hub->second : 0, 0,
                                  pause.start_us, pause.duration_us});
        }
    }
    log.pauses_seen = i < kept ? i : count;
}

void record_plug(Bed& bed, std::size_t hub, bool plugged) {
    const std::scoped_lock hold(bed.log.lock);
    if (bed.log.keep) {
        bed.log.events.push_back({plugged ? Event::Kind::plug : Event::Kind::unplug, hub, 0, 0,
                                  static_cast<uint64_t>(g_get_monotonic_time() - bed.start_us)});
    }
}

} // namespace sim
