// tovrela-sim: runs a command on a simulated USB tree whose hubs carry a simulated chip each.
// The command runs unmodified on the system's libusb; the umockdev preload library gives it and
// every process it starts the simulated sysfs and device nodes, and every usbdevfs ioctl on them
// is answered here, for the process that made it.
#include "exec_words.h"
#include "file.h"
#include "port_path.h"
#include "sim_options.h"
#include "sim_output.h"
#include "uevents.h"
#include "usb_tree.h"
#include "usbfs_device.h"
#include "virtual_clock.h"

#include <glib-unix.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Exit status for a failure of the simulator itself (as env and chroot use it).
constexpr int exit_sim_failure = 125;
constexpr int exit_cannot_run = 127;

constexpr const char* umockdev_preload = "libumockdev-preload.so.0";
// A library the simulator preloads into the command, and the variable that may name its path.
struct PreloadLibrary {
    const char* variable;
    const char* name;
};
constexpr PreloadLibrary fastclock_library{"TOVRELA_FASTCLOCK_LIB", "libtovrela_fastclock.so"};
constexpr PreloadLibrary eventsocket_library{"TOVRELA_EVENTSOCKET_LIB",
                                             "libtovrela_eventsocket.so"};

void report(const std::string& text) {
    std::fprintf(stderr, "tovrela-sim: %s\n", text.c_str());
}

// Where `library` is: the path its variable names, else beside this executable, else in the
// installed library folder.
std::string find_preload_library(const PreloadLibrary& library) {
    if (const char* path = std::getenv(library.variable); path != nullptr && *path) {
        return path;
    }
    std::vector<char> self(4096);
    ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0) {
        return {};
    }
    std::string directory(self.data(), static_cast<std::size_t>(length));
    directory.erase(directory.rfind('/'));
    for (const char* relative : {"/", "/../lib/tovrela-update/"}) {
        std::string candidate = directory + relative + library.name;
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// The shared virtual clock: a temporary file mapped here and by the preloaded library.
struct SharedClock {
    SharedClock() = default;
    SharedClock(const SharedClock&) = delete;
    SharedClock& operator=(const SharedClock&) = delete;

    std::string path;
    virtual_clock::Header* header = nullptr;
    std::size_t size = 0;

    int create(std::string& error) {
        std::string pattern = std::string(g_get_tmp_dir()) + "/tovrela-clock-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd < 0) {
            error = std::string("cannot create the clock file: ") + std::strerror(errno);
            return 0;
        }
        path = name.data();
        size = virtual_clock::file_size(virtual_clock::default_capacity);
        void* mapped = MAP_FAILED;
        if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
            mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        close(fd);
        if (mapped == MAP_FAILED) {
            error = std::string("cannot map the clock file: ") + std::strerror(errno);
            return 0;
        }
        // The file is zero-filled: every slot is free and every record unwritten.
        header = static_cast<virtual_clock::Header*>(mapped);
        header->capacity = virtual_clock::default_capacity;
        header->magic = virtual_clock::magic;
        return 1;
    }

    ~SharedClock() {
        if (header != nullptr) {
            munmap(header, size);
        }
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
};

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using TestbedRef = std::unique_ptr<UMockdevTestbed, ObjectUnref>;
using HandlerRef = std::unique_ptr<UMockdevIoctlBase, ObjectUnref>;

struct Child {
    GPid pid = 0;
    GMainLoop* loop = nullptr;
    int wait_status = 0;
    bool ended = false;
};

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): GLib's GChildWatchFunc
void on_child_exit(GPid pid, gint wait_status, gpointer user_data) {
    auto* child = static_cast<Child*>(user_data);
    child->wait_status = wait_status;
    child->ended = true;
    g_spawn_close_pid(pid);
    g_main_loop_quit(child->loop);
}

// A signal meant for the simulator goes to the command; the simulator ends when the command does,
// so that it still removes its test bed and writes its records.
gboolean forward_signal(gpointer user_data) {
    auto* forward = static_cast<std::pair<Child*, int>*>(user_data);
    if (!forward->first->ended) {
        kill(forward->first->pid, forward->second);
    }
    return G_SOURCE_CONTINUE;
}

int build_testbed(UMockdevTestbed* testbed, UMockdevIoctlBase* handler,
                  const std::vector<sim::UsbDevice>& devices, std::string& error) {
    for (const auto& device : devices) {
        // The handler must be in place before the device appears.
        GError* failure = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, device.devnode.c_str(), handler, &failure) ||
            !umockdev_testbed_add_from_string(testbed, device.record.c_str(), &failure)) {
            error = "cannot add " + device.sysname + ": " +
                    (failure != nullptr ? failure->message : "unknown error");
            g_clear_error(&failure);
            return 0;
        }
    }
    return 1;
}

// The bed's own folder for the tool's one-writer locks, so that beds side by side never see each
// other's locks. Removed with its lock files at the end.
constexpr const char* lock_dir_variable = "TOVRELA_LOCK_DIR";

struct LockFolder {
    LockFolder() = default;
    LockFolder(const LockFolder&) = delete;
    LockFolder& operator=(const LockFolder&) = delete;

    std::string path; // empty: the command's environment names one already

    int create(const std::string& root, std::string& error) {
        if (std::getenv(lock_dir_variable) != nullptr) {
            return 1;
        }
        path = root + "/lock";
        if (mkdir(path.c_str(), 0700) != 0) {
            error = "cannot create " + path + ": " + std::strerror(errno);
            path.clear();
            return 0;
        }
        return 1;
    }

    ~LockFolder() {
        if (path.empty()) {
            return;
        }
        if (GDir* folder = g_dir_open(path.c_str(), 0, nullptr)) {
            while (const gchar* name = g_dir_read_name(folder)) {
                unlink((path + "/" + name).c_str());
            }
            g_dir_close(folder);
        }
        rmdir(path.c_str());
    }
};

// What the command's environment names besides what it inherits.
struct BedPaths {
    std::string root;       // the test bed (UMOCKDEV_DIR)
    std::string preload;    // the libraries preloaded ahead of the command's own LD_PRELOAD
    std::string clock_file; // the shared virtual clock; empty without --fast
    std::string lock_dir;   // the bed's lock folder; empty when the command names one already
};

std::vector<std::string> child_environment(const BedPaths& paths) {
    std::vector<std::string> environment;
    std::string previous_preload;
    // A command built with AddressSanitizer wants its runtime first among the libraries; the
    // preloads come before it, which is harmless to it.
    std::string asan_options = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        if (text.rfind("LD_PRELOAD=", 0) == 0) {
            previous_preload = text.substr(11);
        } else if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan_options = text.substr(13).append(":").append(asan_options);
        } else if (text.rfind("UMOCKDEV_DIR=", 0) != 0 &&
                   text.rfind(std::string(virtual_clock::file_variable) + "=", 0) != 0) {
            environment.push_back(text);
        }
    }
    std::string preloads = paths.preload;
    if (!previous_preload.empty()) {
        preloads += " " + previous_preload;
    }
    environment.push_back("LD_PRELOAD=" + preloads);
    environment.push_back("ASAN_OPTIONS=" + asan_options);
    environment.push_back("UMOCKDEV_DIR=" + paths.root);
    if (!paths.clock_file.empty()) {
        environment.push_back(std::string(virtual_clock::file_variable) + "=" + paths.clock_file);
    }
    if (!paths.lock_dir.empty()) {
        environment.push_back(std::string(lock_dir_variable) + "=" + paths.lock_dir);
    }
    return environment;
}

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return exit_sim_failure;
}

// The resources of the command and its descendants, all waited for by now, and the simulator's
// own CPU time.
int write_usage(const std::string& path, const sim::Bed& bed, std::string& error) {
    uint64_t transfers = 0;
    for (const auto& hub : bed.hubs) {
        transfers += hub.transfer_count + hub.standard_count;
    }
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    auto microseconds = [](const timeval& time) {
        return static_cast<long long>(time.tv_sec) * 1000000 + time.tv_usec;
    };
    File file(std::fopen(path.c_str(), "w"));
    bool good = file && std::fprintf(file.get(),
                                     "user_us %lld\nsys_us %lld\nmaxrss_kb %ld\n"
                                     "sim_user_us %lld\nsim_sys_us %lld\ntransfers %llu\n",
                                     microseconds(usage.ru_utime), microseconds(usage.ru_stime),
                                     usage.ru_maxrss, microseconds(own.ru_utime),
                                     microseconds(own.ru_stime),
                                     static_cast<unsigned long long>(transfers)) > 0;
    if (file && std::fclose(file.release()) != 0) {
        good = false;
    }
    if (!good) {
        error = "cannot write " + path + ": " + std::strerror(errno);
    }
    return good ? 1 : 0;
}

// The bed's hubs, one for each device with a chip, each chip set up as the options say.
void place_hubs(sim::Bed& bed, const sim::Options& options,
                const std::vector<sim::UsbDevice>& devices) {
    bed.log.keep = !options.trace_file.empty();
    bed.log.signals = options.signals;
    const std::size_t count = devices.empty() ? 0 : 1 + options.more_hubs.size();
    while (bed.hubs.size() < count) {
        sim::add_hub(bed);
    }
    for (const auto& usb_device : devices) {
        if (usb_device.chip) {
            sim::Hub& hub = bed.hubs[static_cast<std::size_t>(usb_device.chip_hub)];
            hub.place = usb_device.place;
            hub.devnode = usb_device.devnode;
            hub.serial = usb_device.place.serial;
            hub.record = usb_device.record;
            hub.name =
                std::to_string(usb_device.place.bus) + "-" +
                (usb_device.place.ports.empty() ? "0" : port_path_text(usb_device.place.ports));
            chip_model::reset(hub.chip, sim::chip_config(options, usb_device.place));
        }
    }
    for (sim::Hub& hub : bed.hubs) {
        hub.thread.start();
    }
}

// The libraries preloaded into the command. The event-socket library comes first, ahead of the
// umockdev preload whose uevent socket name it makes unique: without it, processes side by side
// fail now and then, so no command runs without it. The fast-clock library goes into every run:
// it spares the command the umockdev preload's zero sleeps, and with --fast it runs the command's
// pauses on the shared virtual clock. Empty, with the reason in `error`, when a library that the
// run needs cannot be found.
std::string preload_list(const sim::Options& options, std::string& error) {
    auto missing = [&error](const PreloadLibrary& library) {
        error = std::string("cannot find ") + library.name + " (set " + library.variable + ")";
        return std::string();
    };
    const std::string events = find_preload_library(eventsocket_library);
    if (events.empty()) {
        return missing(eventsocket_library);
    }
    std::string preload = events + " " + umockdev_preload;
    const std::string clock = find_preload_library(fastclock_library);
    if (!clock.empty()) {
        preload += " " + clock;
    } else if (options.fast) {
        return missing(fastclock_library);
    }
    return preload;
}

// Hubs plugged and unplugged while the command runs: at the times of --plug and --unplug, and as
// the lines of --control say. Each plugged hub is a new board with a fresh chip and a device
// number of its own (numbers are never reused, as the kernel does); its records are kept apart
// from those of an earlier hub at its place, under the name BUS-PATH.2, BUS-PATH.3, ...
struct Station {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    sim::Bed* bed = nullptr;
    const sim::Options* options = nullptr;
    std::string root;
    std::map<unsigned, unsigned> last_devnum; // per bus
    std::set<std::string> present;            // the sysnames of the devices now in the tree
};

void start_station(Station& station, const std::vector<sim::UsbDevice>& devices) {
    for (const auto& device : devices) {
        station.last_devnum[device.place.bus] =
            std::max(station.last_devnum[device.place.bus], device.devnum);
        station.present.insert(device.sysname);
    }
    if (station.options->unplugged && !station.bed->hubs.empty()) {
        station.bed->hubs[0].gone = true;
    }
}

std::string place_text(const sim::DevicePlace& place) {
    return std::to_string(place.bus) + ":" +
           (place.ports.empty() ? "0" : port_path_text(place.ports));
}

// The live hub at `place`, or -1.
int live_hub_at(const sim::Bed& bed, const sim::DevicePlace& place) {
    for (std::size_t i = 0; i < bed.hubs.size(); ++i) {
        const sim::Hub& hub = bed.hubs[i];
        if (!hub.gone && hub.place.bus == place.bus && hub.place.ports == place.ports) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void plug(Station& station, const sim::DevicePlace& place) {
    sim::UsbDevice device;
    device.place = place;
    device.bcd_device = 0x0100;
    device.chip = true;
    device.devnum = station.last_devnum[place.bus] + 1;
    sim::describe(device);
    std::string parent = "usb" + std::to_string(place.bus);
    if (place.ports.size() > 1) {
        parent = std::to_string(place.bus) + "-" +
                 port_path_text(std::span(place.ports).first(place.ports.size() - 1));
    }
    if (place.ports.empty() || station.present.contains(device.sysname) ||
        !station.present.contains(parent) || device.devnum > 127) {
        report("cannot plug a hub at " + place_text(place) +
               ": the place is taken or there is no hub before it");
        return;
    }
    station.last_devnum[place.bus] = device.devnum;
    sim::Bed& bed = *station.bed;
    std::size_t index = 0;
    {
        const std::scoped_lock hold(bed.hubs_lock);
        std::string base = std::to_string(place.bus) + "-" + port_path_text(place.ports);
        std::string name = base;
        for (int board = 2; std::any_of(bed.hubs.begin(), bed.hubs.end(),
                                        [&](const sim::Hub& hub) { return hub.name == name; });
             ++board) {
            name = base + "." + std::to_string(board);
        }
        sim::Hub& hub = sim::add_hub(bed);
        hub.place = place;
        hub.devnode = device.devnode;
        hub.name = name;
        hub.serial = place.serial;
        hub.record = device.record;
        chip_model::reset(hub.chip, sim::chip_config(*station.options, place));
        hub.thread.start();
        index = hub.index;
        sim::record_plug(bed, index, true);
    }
    std::string error;
    if (build_testbed(station.testbed, station.handler, {device}, error) != 1) {
        report(error);
        return;
    }
    station.present.insert(device.sysname);
    sim::send_uevent(station.root, sim::Uevent::add, device.record);
}

void unplug(Station& station, const sim::DevicePlace& place) {
    sim::Bed& bed = *station.bed;
    std::string record;
    {
        const std::scoped_lock hold(bed.hubs_lock);
        const int index = live_hub_at(bed, place);
        if (index < 0) {
            report("cannot unplug " + place_text(place) + ": no hub with a chip is there");
            return;
        }
        sim::Hub& hub = bed.hubs[static_cast<std::size_t>(index)];
        hub.gone = true;
        record = hub.record;
        sim::record_plug(bed, static_cast<std::size_t>(index), false);
    }
    const std::string syspath = record.substr(3, record.find('\n') - 3);
    umockdev_testbed_remove_device(station.testbed, ("/sys" + syspath).c_str());
    // The device node too, which the testbed keeps (its record names no device number).
    unlink((station.root +
            record.substr(record.find("DEVNAME=") + 8,
                          record.find('\n', record.find("DEVNAME=")) - record.find("DEVNAME=") - 8))
               .c_str());
    station.present.erase(syspath.substr(syspath.rfind('/') + 1));
    sim::send_uevent(station.root, sim::Uevent::remove, record);
}

struct TimedPlug {
    Station* station;
    sim::PlugEvent event;
};

gboolean on_plug_time(gpointer user_data) {
    auto* timed = static_cast<TimedPlug*>(user_data);
    if (timed->event.plug) {
        plug(*timed->station, timed->event.place);
    } else {
        unplug(*timed->station, timed->event.place);
    }
    return G_SOURCE_REMOVE;
}

// A line of --control.
gboolean on_control_input(GIOChannel* channel, GIOCondition, gpointer user_data) {
    auto& station = *static_cast<Station*>(user_data);
    gchar* text = nullptr;
    gsize length = 0;
    while (g_io_channel_read_line(channel, &text, &length, nullptr, nullptr) ==
           G_IO_STATUS_NORMAL) {
        std::string line(text, length);
        g_free(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        sim::PlugEvent event;
        if (line.empty()) {
            continue;
        }
        if (!sim::parse_control_line(line, *station.options, event)) {
            report("--control: not a plug or unplug line: " + line);
        } else if (event.plug) {
            plug(station, event.place);
        } else {
            unplug(station, event.place);
        }
    }
    return G_SOURCE_CONTINUE;
}

// The sources of --plug, --unplug and --control in the main loop, from now on.
struct StationSources {
    std::vector<TimedPlug> timed;
    std::vector<guint> sources;
    GIOChannel* control = nullptr;
    bool made_fifo = false;
    std::string fifo;

    int start(Station& station, std::string& error) {
        const auto& plugs = station.options->plugs;
        timed.reserve(plugs.size());
        for (const auto& event : plugs) {
            timed.push_back({&station, event});
            sources.push_back(
                g_timeout_add(static_cast<guint>(event.at_ms), on_plug_time, &timed.back()));
        }
        fifo = station.options->control_fifo;
        if (fifo.empty()) {
            return 1;
        }
        if (access(fifo.c_str(), F_OK) != 0) {
            made_fifo = mkfifo(fifo.c_str(), 0600) == 0;
        }
        // Read and write, so that the FIFO never ends while its writers come and go.
        const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + fifo + ": " + std::strerror(errno);
            return 0;
        }
        control = g_io_channel_unix_new(fd);
        g_io_channel_set_close_on_unref(control, TRUE);
        g_io_channel_set_encoding(control, nullptr, nullptr);
        sources.push_back(g_io_add_watch(control, G_IO_IN, on_control_input, &station));
        return 1;
    }

    StationSources() = default;
    StationSources(const StationSources&) = delete;
    StationSources& operator=(const StationSources&) = delete;
    ~StationSources() {
        for (guint source : sources) {
            if (GSource* live = g_main_context_find_source_by_id(nullptr, source)) {
                g_source_destroy(live);
            }
        }
        if (control != nullptr) {
            g_io_channel_unref(control);
        }
        if (made_fifo) {
            unlink(fifo.c_str());
        }
    }
};

// Runs the command until it ends, passing SIGINT, SIGTERM and SIGHUP on to it. Its wait status,
// or nothing with the reason in `error` when it could not be started.
std::optional<int> run_command(std::vector<std::string>& command,
                               std::vector<std::string>& environment, Station& station,
                               std::string& error) {
    sim::Bed& bed = *station.bed;
    std::vector<char*> child_argv = exec_words(command);
    std::vector<char*> child_envp = exec_words(environment);
    GPid pid = 0;
    GError* failure = nullptr;
    auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH_FROM_ENVP |
                                          G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CHILD_INHERITS_STDIN);
    if (!g_spawn_async(nullptr, child_argv.data(), child_envp.data(), flags, nullptr, nullptr, &pid,
                       &failure)) {
        error = "cannot run " + command[0] + ": " + failure->message;
        g_clear_error(&failure);
        return std::nullopt;
    }

    StationSources station_sources;
    if (station_sources.start(station, error) != 1) {
        report(error);
        kill(pid, SIGTERM);
    }
    Child child;
    child.pid = pid;
    bed.command_pid = pid;
    child.loop = g_main_loop_new(nullptr, FALSE);
    g_child_watch_add(pid, on_child_exit, &child);
    std::pair<Child*, int> forwards[] = {{&child, SIGINT}, {&child, SIGTERM}, {&child, SIGHUP}};
    std::vector<guint> signal_sources;
    for (auto& forward : forwards) {
        signal_sources.push_back(g_unix_signal_add(forward.second, forward_signal, &forward));
    }
    g_main_loop_run(child.loop);
    for (guint source : signal_sources) {
        g_source_remove(source);
    }
    g_main_loop_unref(child.loop);
    return child.wait_status;
}

// Once the command has ended: the hub threads stopped, the URBs still held let go, the last
// pauses, the latest virtual time of any process, and each chip's closing verdict.
void close_bed(sim::Bed& bed, const SharedClock& clock) {
    sim::close_clients(bed);
    const std::scoped_lock hold(bed.hubs_lock, bed.log.lock);
    sim::collect_pauses(bed.log, bed.clock);
    if (clock.header != nullptr) {
        for (const auto& slot : clock.header->slots) {
            bed.clock_end_us = std::max<uint64_t>(bed.clock_end_us, slot.now_us.load());
        }
    }
    for (auto& hub : bed.hubs) {
        chip_model::finish(hub.chip);
    }
}

// The records the options ask for, in this order. 1, or 0 with the reason in `error`.
int write_records(const sim::Options& options, const sim::Bed& bed, std::string& error) {
    if (!options.flash_out_dir.empty() &&
        sim::write_flash_images(bed, options.flash_out_dir, error) != 1) {
        return 0;
    }
    if (!options.trace_file.empty() && sim::write_trace(bed, options.trace_file, error) != 1) {
        return 0;
    }
    if (!options.verdict_file.empty() &&
        sim::write_verdict(bed, options.verdict_file, error) != 1) {
        return 0;
    }
    if (!options.usage_file.empty() && write_usage(options.usage_file, bed, error) != 1) {
        return 0;
    }
    return 1;
}

std::string root_dir_of(UMockdevTestbed* testbed) {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string dir = root;
    g_free(root);
    return dir;
}

// The test bed's device nodes and the handler of their ioctls, the bed's lock folder, and the
// hub's node removed for --unplugged. 1, or 0 with the reason in `error`.
int prepare_testbed(UMockdevTestbed* testbed, UMockdevIoctlBase* handler,
                    const std::vector<sim::UsbDevice>& devices, const sim::Options& options,
                    sim::Bed& bed, LockFolder& locks, std::string& error) {
    sim::connect_handler(handler, bed);
    if (build_testbed(testbed, handler, devices, error) != 1) {
        return 0;
    }
    const std::string root_dir = root_dir_of(testbed);
    if (locks.create(root_dir, error) != 1) {
        return 0;
    }
    if (options.unplugged && !bed.hubs.empty()) {
        const std::string node = root_dir + bed.hubs[0].devnode;
        if (unlink(node.c_str()) != 0) {
            report("cannot remove " + node + ": " + std::strerror(errno));
        }
    }
    return 1;
}

// With TOVRELA_SIM_DEBUG set: the ioctls the simulator did not know.
void report_unknown_ioctls(const sim::Bed& bed) {
    if (std::getenv("TOVRELA_SIM_DEBUG") != nullptr) {
        for (const auto& request : bed.log.unknown_ioctls) {
            report("unanswered ioctl " + request);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    if (sim::parse_options(argc, argv, options, error) != 1) {
        report(error);
        return exit_sim_failure;
    }
    if (options.help) {
        std::fputs(sim::usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::puts("tovrela-sim " TOVRELA_SIM_VERSION);
        return 0;
    }

    std::vector<sim::UsbDevice> devices;
    if (sim::build_usb_tree(options, devices, error) != 1) {
        report(error);
        return exit_sim_failure;
    }
    sim::Bed bed;
    place_hubs(bed, options, devices);

    SharedClock clock;
    const std::string preload = preload_list(options, error);
    if (preload.empty() || (options.fast && clock.create(error) != 1)) {
        report(error);
        return exit_sim_failure;
    }
    bed.clock = clock.header;

    TestbedRef testbed(umockdev_testbed_new());
    HandlerRef handler(umockdev_ioctl_base_new());
    LockFolder locks;
    if (prepare_testbed(testbed.get(), handler.get(), devices, options, bed, locks, error) != 1) {
        report(error);
        return exit_sim_failure;
    }
    std::vector<std::string> environment =
        child_environment({root_dir_of(testbed.get()), preload, clock.path, locks.path});

    Station station{
        testbed.get(), handler.get(), &bed, &options, root_dir_of(testbed.get()), {}, {}};
    start_station(station, devices);
    const std::optional<int> wait_status =
        run_command(options.command, environment, station, error);
    if (!wait_status) {
        report(error);
        return exit_cannot_run;
    }
    close_bed(bed, clock);

    const int status = exit_status_of(*wait_status);
    if (write_records(options, bed, error) != 1) {
        report(error);
        return exit_sim_failure;
    }
    report_unknown_ioctls(bed);
    return status;
}
