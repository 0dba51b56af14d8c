// The virtual clocks shared by the simulator and the fast-clock library preloaded into every
// process of the command. The simulator creates a file, names it in TOVRELA_FASTCLOCK_FILE and
// maps it; the preloaded library maps the same file. Each process claims a slot with its own
// clock, so that the pauses of processes running side by side never add up: every pause a
// process takes is added to its slot's `now_us` and appended to `pauses`, and the simulator
// stamps each control transfer with the clock of the process that made it and places the pauses
// between the transfers in the order they happened.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace virtual_clock {

constexpr const char* file_variable = "TOVRELA_FASTCLOCK_FILE";
constexpr uint32_t magic = 0x324b4c56; // "VLK2"
constexpr uint32_t slot_count = 256;

struct Slot {
    std::atomic<int32_t> pid; // 0: free
    std::atomic<uint64_t> now_us;
};

struct Pause {
    std::atomic<int32_t> pid; // written last: 0 while the record is being filled
    uint64_t start_us;        // the process's virtual time when the pause began
    uint64_t duration_us;     // what the process asked for
};

struct Header {
    uint32_t magic;
    uint32_t capacity;           // number of Pause records that follow the header
    std::atomic<uint64_t> count; // pauses taken; records beyond capacity are not kept
    Slot slots[slot_count];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<int32_t>::is_always_lock_free);

constexpr uint32_t default_capacity = 1u << 18;

constexpr std::size_t file_size(uint32_t capacity) {
    return sizeof(Header) + std::size_t{capacity} * sizeof(Pause);
}

inline Pause* records(Header* header) {
    return reinterpret_cast<Pause*>(header + 1);
}
inline const Pause* records(const Header* header) {
    return reinterpret_cast<const Pause*>(header + 1);
}

// The slot of process `pid`, or -1.
inline int find_slot(const Header* header, int32_t pid) {
    for (uint32_t i = 0; i < slot_count; ++i) {
        if (header->slots[i].pid.load() == pid) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace virtual_clock
