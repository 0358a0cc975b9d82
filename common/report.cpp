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

static int noted;

// Code points that show as nothing or as a blank, or that turn the text
// around them: a name holding one looks like another name.
static bool invisible(unsigned c)
{
    return c < 0xa0 || c == 0xa0 || c == 0xad || (c >= 0x2000 && c <= 0x200f) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202f) || (c >= 0x2060 && c <= 0x206f) || c == 0xfeff;
}

// Length of the UTF-8 sequence at p (at most n bytes) and its code point;
// 0 when the bytes there are not one.
static size_t utf8(const unsigned char *p, size_t n, unsigned *cp)
{
    unsigned c = p[0];
    size_t len = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    // the second byte's range rules out overlong forms, surrogates and
    // code points past U+10FFFF
    unsigned lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80, hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (p[1] < lo || p[1] > hi)
        return 0;
    unsigned v = c & (0x7f >> len);
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        v = v << 6 | (p[i] & 0x3f);
    }
    *cp = v;
    return len;
}

std::string shown(const std::string &s)
{
    std::string out;
    auto p = reinterpret_cast<const unsigned char *>(s.data());
    char buf[16];
    for (size_t i = 0, n = s.size(); i < n;) {
        unsigned c = p[i], cp;
        size_t len = 1;
        if (c >= 0x20 && c < 0x7f)
            out += char(c);
        else if (c == '\n' || c == '\t' || c == '\r')
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        else if (c < 0x80 || (len = utf8(p + i, n - i, &cp)) == 0) {
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            len = 1;
        } else if (invisible(cp)) {
            snprintf(buf, sizeof buf, "\\u%04x", cp);
            out += buf;
        } else
            out.append(s, i, len);
        i += len;
    }
    return out;
}

static std::string vformatted(const char *fmt, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string s(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0)
        vsnprintf(s.data(), s.size() + 1, fmt, again);
    va_end(again);
    return s;
}

std::string formatted(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformatted(fmt, ap);
    va_end(ap);
    return s;
}

static void vsay(const char *fmt, va_list ap)
{
    std::string line = shown(vformatted(fmt, ap)) + '\n';
    fwrite(line.data(), 1, line.size(), stderr);
}

void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsay(fmt, ap);
    va_end(ap);
}

void note(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsay(fmt, ap);
    va_end(ap);
    noted++;
}

int notes() { return noted; }

std::string counted(uint64_t n, const char *noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
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
