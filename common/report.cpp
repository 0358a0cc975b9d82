#include "report.h"

#include <cstdarg>
#include <new>

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
    try {
        return op(argv);
    } catch (const std::bad_alloc &) {
        return report(2, "out of memory");
    }
}
