// Preloaded before umockdev's library: opening a USB device node fails with EACCES, as it does
// for a user without access, while everything else opens as usual.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>

#define DENY(path)                                                                                 \
    if (strncmp(path, "/dev/bus/usb/", 13) == 0) {                                                 \
        errno = EACCES;                                                                            \
        return -1;                                                                                 \
    }
#define WITH_MODE(name)                                                                            \
    int name(const char* path, int flags, ...) {                                                   \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        int mode = va_arg(args, int);                                                              \
        va_end(args);                                                                              \
        DENY(path)                                                                                 \
        int (*next)(const char*, int, ...);                                                        \
        *(void**)&next = dlsym(RTLD_NEXT, #name);                                                  \
        return next(path, flags, mode);                                                            \
    }
#define CHECKED(name)                                                                              \
    int name(const char* path, int flags) {                                                        \
        DENY(path)                                                                                 \
        int (*next)(const char*, int);                                                             \
        *(void**)&next = dlsym(RTLD_NEXT, #name);                                                  \
        return next(path, flags);                                                                  \
    }

WITH_MODE(open)
WITH_MODE(open64)
CHECKED(__open_2)
CHECKED(__open64_2)
