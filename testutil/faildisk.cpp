// A failing disk, for tests: loaded with LD_PRELOAD, it fails read, pread
// and copy_file_range with EIO on every descriptor open on the file
// FAILREAD names. NOCOPYRANGE set fails every copy_file_range with ENOSYS,
// as an old kernel does, so that copies go through a buffer; FAILSYNC set
// fails every syncfs with EIO, as a disk that lost what was written.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

static bool failing(int fd)
{
    static char want[PATH_MAX];
    const char *name = getenv("FAILREAD");
    if (!name || (!want[0] && !realpath(name, want)))
        return false;
    char link[32], got[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, got, sizeof got - 1);
    if (n < 0)
        return false;
    got[n] = 0;
    return strcmp(got, want) == 0;
}

template <class F> static F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

extern "C" ssize_t read(int fd, void *buf, size_t n)
{
    static auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    if (failing(fd))
        return errno = EIO, -1;
    return real(fd, buf, n);
}

extern "C" ssize_t pread(int fd, void *buf, size_t n, off_t at)
{
    static auto real = next<ssize_t (*)(int, void *, size_t, off_t)>("pread");
    if (failing(fd))
        return errno = EIO, -1;
    return real(fd, buf, n, at);
}

extern "C" ssize_t pread64(int fd, void *buf, size_t n, off64_t at)
{
    return pread(fd, buf, n, off_t(at));
}

extern "C" ssize_t copy_file_range(int in, loff_t *inat, int out, loff_t *outat, size_t n, unsigned flags)
{
    static auto real = next<ssize_t (*)(int, loff_t *, int, loff_t *, size_t, unsigned)>("copy_file_range");
    if (getenv("NOCOPYRANGE"))
        return errno = ENOSYS, -1;
    if (failing(in))
        return errno = EIO, -1;
    return real(in, inat, out, outat, n, flags);
}

extern "C" int syncfs(int fd)
{
    static auto real = next<int (*)(int)>("syncfs");
    if (getenv("FAILSYNC"))
        return errno = EIO, -1;
    return real(fd);
}
