#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

int report(int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(REPORT_STREAM, fmt, ap);
    va_end(ap);
    fputc('\n', REPORT_STREAM);
    return code;
}

int guarded(int (*op)(char **), char **argv)
{
    try {
        return op(argv);
    } catch (const std::bad_alloc &) {
        return report(2, "out of memory");
    }
}

int flushed()
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    fprintf(stderr, "can't write standard output: %s\n", strerror(errno ? errno : EIO));
    return 2;
}
