/* Preloaded into the tool under test before umockdev's own preload library:
 * opening any path listed in EMULATED_MODULE_DENY_OPEN (colon-separated) fails
 * with EACCES, as it does for a device node the user has no permission for.
 * umockdev cannot make open() fail, and root ignores file modes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static int denied(const char *path)
{
    const char *list = getenv("EMULATED_MODULE_DENY_OPEN");
    if (list == NULL || path == NULL)
        return 0;
    size_t length = strlen(path);
    for (const char *entry = list; *entry != '\0';) {
        const char *end = strchr(entry, ':');
        size_t entry_length = end ? (size_t)(end - entry) : strlen(entry);
        if (entry_length == length && strncmp(entry, path, length) == 0)
            return 1;
        if (end == NULL)
            break;
        entry = end + 1;
    }
    return 0;
}

/* Sets errno and returns 1 when `path` is to be refused. */
static int refused(const char *path)
{
    if (!denied(path))
        return 0;
    errno = EACCES;
    return 1;
}

static mode_t mode_argument(int flags, va_list args)
{
    if (flags & (O_CREAT | O_TMPFILE))
        return (mode_t)va_arg(args, int);
    return 0;
}

#define DENYING_OPEN(name)                                                   \
    int name(const char *path, int flags, ...)                               \
    {                                                                        \
        va_list args;                                                        \
        va_start(args, flags);                                               \
        mode_t mode = mode_argument(flags, args);                            \
        va_end(args);                                                        \
        if (refused(path))                                                   \
            return -1;                                                       \
        int (*next)(const char *, int, ...) = dlsym(RTLD_NEXT, #name);       \
        return next(path, flags, mode);                                      \
    }

#define DENYING_OPENAT(name)                                                 \
    int name(int dir_fd, const char *path, int flags, ...)                   \
    {                                                                        \
        va_list args;                                                        \
        va_start(args, flags);                                               \
        mode_t mode = mode_argument(flags, args);                            \
        va_end(args);                                                        \
        if (refused(path))                                                   \
            return -1;                                                       \
        int (*next)(int, const char *, int, ...) = dlsym(RTLD_NEXT, #name);  \
        return next(dir_fd, path, flags, mode);                              \
    }

DENYING_OPEN(open)
DENYING_OPEN(open64)
DENYING_OPENAT(openat)
DENYING_OPENAT(openat64)

/* The fortified entry points that glibc uses when the flags are not constant. */
int __open_2(const char *path, int flags)
{
    if (refused(path))
        return -1;
    int (*next)(const char *, int) = dlsym(RTLD_NEXT, "__open_2");
    return next(path, flags);
}

int __open64_2(const char *path, int flags)
{
    if (refused(path))
        return -1;
    int (*next)(const char *, int) = dlsym(RTLD_NEXT, "__open64_2");
    return next(path, flags);
}
