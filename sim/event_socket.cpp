// Preloaded into the command by tovrela-sim, ahead of the umockdev preload: gives each process's
// uevent socket a name of its own.
//
// The umockdev preload turns a process's netlink uevent socket (the one udev's monitor, and so
// libusb, listens on) into a Unix socket, and binds it to "$UMOCKDEV_DIR/event<fd>", after the
// fd number alone, unlinking that name first. Two processes of one bed whose sockets got the same
// fd number then remove each other's socket: the bind of the later one fails ("failed to enable
// the udev monitor", libusb_init -99), or the earlier one silently stops receiving the bed's add
// and remove events. The bed's event sender reaches every socket named "event[0-9]*", so binding
// the socket here to "event<fd>-<pid>" instead keeps every process's socket apart. Nothing else of
// the umockdev preload changes; its bind is simply not called for that socket.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using bind_function = int (*)(int, const sockaddr*, socklen_t);

// The next bind in the preload order (umockdev's, for every socket but the uevent socket).
bind_function next_bind() {
    static auto function = reinterpret_cast<bind_function>(dlsym(RTLD_NEXT, "bind"));
    return function;
}

// The C library's own bind: the uevent socket is bound here, by name, once.
bind_function libc_bind() {
    static auto function = [] {
        void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        return libc != nullptr ? reinterpret_cast<bind_function>(dlsym(libc, "bind")) : nullptr;
    }();
    return function;
}

// A netlink address on a Unix socket: the uevent socket as the umockdev preload made it.
bool is_emulated_uevent_socket(int fd, const sockaddr* address) {
    int domain = 0;
    socklen_t size = sizeof domain;
    return address != nullptr && address->sa_family == AF_NETLINK &&
           getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int bind(int fd, const sockaddr* address,
                                                           socklen_t length) {
    const char* root = std::getenv("UMOCKDEV_DIR");
    bind_function own = libc_bind();
    if (root != nullptr && *root != '\0' && own != nullptr &&
        is_emulated_uevent_socket(fd, address)) {
        sockaddr_un unique{};
        unique.sun_family = AF_UNIX;
        const int written = std::snprintf(unique.sun_path, sizeof unique.sun_path, "%s/event%d-%d",
                                          root, fd, static_cast<int>(getpid()));
        if (written > 0 && static_cast<std::size_t>(written) < sizeof unique.sun_path) {
            // A socket of an ended process with the same pid and fd number is stale.
            unlink(unique.sun_path);
            return own(fd, reinterpret_cast<const sockaddr*>(&unique), sizeof unique);
        }
    }
    bind_function next = next_bind();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, address, length);
}
