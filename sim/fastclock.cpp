// Preloaded into the command by tovrela-sim. With --fast (TOVRELA_FASTCLOCK_FILE set) the
// command's pauses run on a virtual clock: a usleep made by the main program returns at once,
// and its length is added to the virtual clock of the process (its slot in the shared file) and
// recorded for the simulator (see virtual_clock.h). Without it the main program's pauses are real.
// Calls made from any shared library (libusb, the umockdev preload) keep the real usleep, except
// that a zero sleep returns at once. The clocks (clock_gettime, time) stay real: signals come in
// real time, and the tool measures the time between two of them on the monotonic clock.
#include "virtual_clock.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Range {
    uintptr_t begin;
    uintptr_t end;
};

struct ClockState {
    std::vector<Range> main_program;         // loaded segments of the main executable
    virtual_clock::Header* shared = nullptr; // null: the pauses are real
    int slot = -1;                           // this process's clock in `shared`
    int32_t slot_pid = 0;                    // the process that claimed it (a fork claims anew)
};

// Claims a free slot for this process, else the slot of a process that has ended (a bed that
// lives long, a station rehearsed for hours, starts far more processes than there are slots);
// -1 when every slot belongs to a live process (its pauses are then real). A process that
// replaced its program (exec) keeps the slot and the time of its pid.
int claim_slot(virtual_clock::Header* shared, int32_t pid) {
    if (int own = virtual_clock::find_slot(shared, pid); own >= 0) {
        return own;
    }
    for (const bool reclaim : {false, true}) {
        for (uint32_t i = 0; i < virtual_clock::slot_count; ++i) {
            int32_t holder = shared->slots[i].pid.load();
            const bool free = holder == 0 || (reclaim && kill(holder, 0) != 0 && errno == ESRCH);
            if (free && shared->slots[i].pid.compare_exchange_strong(holder, pid)) {
                shared->slots[i].now_us.store(0);
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

void take_slot(ClockState& clock) {
    const auto pid = static_cast<int32_t>(getpid());
    if (clock.shared != nullptr && clock.slot_pid != pid) {
        clock.slot_pid = pid;
        clock.slot = claim_slot(clock.shared, pid);
    }
}

int collect_main_program(dl_phdr_info* info, size_t, void* data) {
    auto* ranges = static_cast<std::vector<Range>*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
            ranges->push_back({begin, begin + segment.p_memsz});
        }
    }
    return 1; // the first object reported is the main program
}

virtual_clock::Header* map_shared_file() {
    const char* path = std::getenv(virtual_clock::file_variable);
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    void* mapped = MAP_FAILED;
    if (fstat(fd, &info) == 0 &&
        static_cast<size_t>(info.st_size) >= sizeof(virtual_clock::Header)) {
        mapped = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE,
                      MAP_SHARED, fd, 0);
    }
    close(fd);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    auto* header = static_cast<virtual_clock::Header*>(mapped);
    if (header->magic != virtual_clock::magic ||
        virtual_clock::file_size(header->capacity) > static_cast<size_t>(info.st_size)) {
        munmap(mapped, static_cast<size_t>(info.st_size));
        return nullptr;
    }
    return header;
}

ClockState& state() {
    static ClockState* clock = [] {
        auto* fresh = new ClockState; // lives until the process ends
        dl_iterate_phdr(collect_main_program, &fresh->main_program);
        fresh->shared = map_shared_file();
        take_slot(*fresh);
        return fresh;
    }();
    return *clock;
}

bool from_main_program(const void* caller) {
    auto address = reinterpret_cast<uintptr_t>(caller);
    for (const auto& range : state().main_program) {
        if (address >= range.begin && address < range.end) {
            return true;
        }
    }
    return false;
}

void record_pause(ClockState& clock, uint64_t duration_us) {
    virtual_clock::Header* shared = clock.shared;
    auto& now = shared->slots[clock.slot].now_us;
    const uint64_t start = now.load();
    const uint64_t index = shared->count.fetch_add(1);
    if (index < shared->capacity) {
        auto& record = virtual_clock::records(shared)[index];
        record.start_us = start;
        record.duration_us = duration_us;
        // The record is complete before its pid makes it visible.
        record.pid.store(clock.slot_pid);
    }
    now.store(start + duration_us);
}

using usleep_function = int (*)(useconds_t);

usleep_function real_usleep() {
    static auto function = reinterpret_cast<usleep_function>(dlsym(RTLD_NEXT, "usleep"));
    return function;
}

// Every process claims its clock when it starts, so that its transfers carry its time even
// before its first pause.
__attribute__((constructor)) void claim_clock_at_start() {
    state();
}

} // namespace

extern "C" __attribute__((visibility("default"))) int usleep(useconds_t microseconds) {
    bool own_pause = from_main_program(__builtin_return_address(0));
    ClockState& clock = state();
    if (own_pause && clock.shared != nullptr) {
        take_slot(clock);
        if (clock.slot >= 0) {
            record_pause(clock, microseconds);
            return 0;
        }
    }
    // The umockdev preload yields with usleep(0) after every emulated ioctl; a zero sleep still
    // costs the timer slack (about 50 us), three times per control transfer.
    if (!own_pause && microseconds == 0) {
        return 0;
    }
    usleep_function real = real_usleep();
    return real != nullptr ? real(microseconds) : 0;
}
