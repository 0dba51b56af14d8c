// Preloaded before umockdev's library: opening a USB device node fails with EACCES, as it does
// for a user without access, while everything else opens as usual.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>

// `name` with the parameters `params` (after `prologue`, which reads the mode where there is one),
// calling on the next definition of `name` with `args` unless the path is a USB device node.
#define DENY(name, params, prologue, args)                                                         \
    int name params {                                                                              \
        prologue if (strncmp(path, "/dev/bus/usb/", 13) == 0) {                                    \
            errno = EACCES;                                                                        \
            return -1;                                                                             \
        }                                                                                          \
        int(*next) params;                                                                         \
        *(void**)&next = dlsym(RTLD_NEXT, #name);                                                  \
        return next args;                                                                          \
    }
#define MODE                                                                                       \
    va_list list;                                                                                  \
    va_start(list, flags);                                                                         \
    int mode = va_arg(list, int);                                                                  \
    va_end(list);

DENY(open, (const char* path, int flags, ...), MODE, (path, flags, mode))
DENY(open64, (const char* path, int flags, ...), MODE, (path, flags, mode))
DENY(__open_2, (const char* path, int flags), , (path, flags))
DENY(__open64_2, (const char* path, int flags), , (path, flags))
