// A failing disk, for tests: loaded with LD_PRELOAD, it fails read, pread
// and copy_file_range with EIO on every descriptor open on the file
// FAILREAD names; with FAILAFTER=n beside it, fread passes the first n
// bytes of that file and then fails with EIO. NOCOPYRANGE set fails every
// copy_file_range with ENOSYS, as an old kernel does, so that copies go
// through a buffer; FAILSYNC set fails every syncfs with EIO, as a disk
// that lost what was written. FAILREADDIR=n lets the first n calls of
// readdir through and fails every later one with EIO.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

// Calls the headers may rename are shimmed by their symbols, with the real
// prototypes: a build with 64-bit file offsets calls pread64 and readdir64.
extern "C" ssize_t shimpread(int fd, void *buf, size_t n, __off_t at) __asm__("pread");
extern "C" ssize_t shimpread64(int fd, void *buf, size_t n, __off64_t at) __asm__("pread64");
extern "C" dirent *shimreaddir(DIR *d) __asm__("readdir");
extern "C" dirent64 *shimreaddir64(DIR *d) __asm__("readdir64");

ssize_t shimpread(int fd, void *buf, size_t n, __off_t at)
{
    static auto real = next<ssize_t (*)(int, void *, size_t, __off_t)>("pread");
    if (failing(fd))
        return errno = EIO, -1;
    return real(fd, buf, n, at);
}

ssize_t shimpread64(int fd, void *buf, size_t n, __off64_t at)
{
    static auto real = next<ssize_t (*)(int, void *, size_t, __off64_t)>("pread64");
    if (failing(fd))
        return errno = EIO, -1;
    return real(fd, buf, n, at);
}

static bool readdirfails()
{
    static long left = getenv("FAILREADDIR") ? atol(getenv("FAILREADDIR")) : -1;
    if (left == 0)
        return errno = EIO, true;
    left -= left > 0;
    return false;
}

dirent *shimreaddir(DIR *d)
{
    static auto real = next<dirent *(*)(DIR *)>("readdir");
    return readdirfails() ? nullptr : real(d);
}

dirent64 *shimreaddir64(DIR *d)
{
    static auto real = next<dirent64 *(*)(DIR *)>("readdir64");
    return readdirfails() ? nullptr : real(d);
}

#ifdef _IO_ERR_SEEN     // the flag ferror reads in the C library's streams
extern "C" size_t fread(void *p, size_t size, size_t n, FILE *f)
{
    static auto real = next<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    static unsigned long long left = strtoull(getenv("FAILAFTER") ? getenv("FAILAFTER") : "0", nullptr, 10);
    if (!getenv("FAILAFTER") || size == 0 || !failing(fileno(f)))
        return real(p, size, n, f);
    size_t k = std::min<unsigned long long>(n, left / size), got = real(p, size, k, f);
    left -= got * size;
    if (got == k && k < n) {
        errno = EIO;
        f->_flags |= _IO_ERR_SEEN;
    }
    return got;
}
#endif

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
