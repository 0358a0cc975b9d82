#include "report.h"
#include "outfile.h"
#include "platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

static const char *name = "out";
static FILE *lines = stderr;

void setprogram(const char *prog, FILE *stream)
{
    name = prog;
    lines = stream;
}

const char *programname() { return name; }

int report(int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(lines, fmt, ap);
    va_end(ap);
    fputc('\n', lines);
    return code;
}

int guarded(int (*op)(char **), char **argv)
{
    int ret;
    try {
        ret = op(argv);
    } catch (const std::bad_alloc &) {
        ret = report(2, "out of memory");
    }
    // what a failed run wrote before it failed is put in place, as when
    // each file was renamed at once
    if (ret != 0)
        outsync();
    return ret;
}

// The first error writing standard output. Stdio drops a buffer it could
// not write, so by the end of a run a failed write may leave nothing to
// flush, and errno long since says something else.
static int outerr;

#ifdef __GLIBC__
static ssize_t writeout(void *, const char *p, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(STDOUT_FILENO, p + done, n - done);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            outerr = outerr ? outerr : k < 0 ? errno : EIO;
            break;
        }
        done += size_t(k);
    }
    return ssize_t(done);   // short: stdio marks the stream failed
}
#endif

void keepouterr()
{
    rawstdio();
#ifdef __GLIBC__
    cookie_io_functions_t io = {nullptr, writeout, nullptr, nullptr};
    FILE *f = fopencookie(nullptr, "w", io);
    if (!f)
        return;     // stdout as it is: a failure may then say only EIO
    if (isatty(STDOUT_FILENO))
        setvbuf(f, nullptr, _IOLBF, 0);
    stdout = f;
#endif
}

int flushed()
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    fprintf(stderr, "can't write standard output: %s\n", strerror(outerr ? outerr : errno ? errno : EIO));
    return 2;
}
