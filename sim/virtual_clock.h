// The virtual clock shared by the simulator and the fast-clock library preloaded into the tool.
// The simulator creates a file, names it in TOVRELA_FASTCLOCK_FILE and maps it; the preloaded
// library maps the same file. Every pause the tool takes is added to `now_us` and appended to
// `pauses`, so the simulator can stamp each control transfer with virtual time and place the
// pauses between the transfers in the order they happened.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace virtual_clock {

constexpr const char* file_variable = "TOVRELA_FASTCLOCK_FILE";
constexpr uint32_t magic = 0x4b4c4356; // "VCLK"

struct Pause {
    uint64_t start_us;    // virtual time when the pause began
    uint64_t duration_us; // what the tool asked for
};

struct Header {
    uint32_t magic;
    uint32_t capacity;            // number of Pause records that follow the header
    std::atomic<uint64_t> now_us; // virtual time
    std::atomic<uint64_t> count;  // pauses taken; records beyond capacity are not kept
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);

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

} // namespace virtual_clock
