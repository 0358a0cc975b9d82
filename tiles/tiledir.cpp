#include "tiledir.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using filep = std::unique_ptr<FILE, int (*)(FILE *)>;

// A note when the file holds other than the 768 bytes of a palette: which
// entries its end leaves without colour, or how much beyond it is ignored.
// size is the file's size; got, the bytes read, at most 768.
static void notesize(const char *file, uint64_t size, size_t got)
{
    unsigned long long n = got, more = size > 768 ? size - 768 : 0;
    int e = int(got / 3);   // whole entries
    if (got == 768 && more == 1)
        fprintf(stderr, "%s: 769 bytes, a palette holds 768; the last byte is ignored\n", file);
    else if (got == 768 && more > 1)
        fprintf(stderr, "%s: %llu bytes, a palette holds 768; the last %llu are ignored\n", file, n + more, more);
    else if (got == 768)
        return;
    else if (got == 0)
        fprintf(stderr, "%s: 0 bytes, a palette holds 768; all 256 entries are missing\n", file);
    else if (got == 1)
        fprintf(stderr, "%s: 1 byte, a palette holds 768; entry 0 lacks its green and blue, and entries 1 to 255 "
                        "are missing\n", file);
    else if (got % 3 == 0 && e < 255)
        fprintf(stderr, "%s: %llu bytes, a palette holds 768; entries %d to 255 are missing\n", file, n, e);
    else if (got == 765)
        fprintf(stderr, "%s: 765 bytes, a palette holds 768; entry 255 is missing\n", file);
    else if (got % 3 == 1 && e < 254)
        fprintf(stderr, "%s: %llu bytes, a palette holds 768; entry %d lacks its green and blue, and entries %d to "
                        "255 are missing\n", file, n, e, e + 1);
    else if (got % 3 == 2 && e < 254)
        fprintf(stderr, "%s: %llu bytes, a palette holds 768; entry %d lacks its blue, and entries %d to 255 are "
                        "missing\n", file, n, e, e + 1);
    else if (got == 763)
        fprintf(stderr, "%s: 763 bytes, a palette holds 768; entry 254 lacks its green and blue, and entry 255 is "
                        "missing\n", file);
    else if (got == 764)
        fprintf(stderr, "%s: 764 bytes, a palette holds 768; entry 254 lacks its blue, and entry 255 is missing\n",
                file);
    else if (got == 766)
        fprintf(stderr, "%s: 766 bytes, a palette holds 768; entry 255 lacks its green and blue\n", file);
    else
        fprintf(stderr, "%s: 767 bytes, a palette holds 768; entry 255 lacks its blue\n", file);
}

bool loadpalette(const char *arg, palette *pal)
{
    int scale = 4;
    if (strncmp(arg, "blood:", 6) == 0) {
        arg += 6;
        scale = 1;
    }
    filep f(fopen(arg, "rb"), fclose);
    if (!f)
        return false;
    unsigned char b[768];
    size_t got = fread(b, 1, sizeof b, f.get());
    // a byte past the end counts as EOF, -1: a short file gives -scale
    auto at = [&](int i) { return (size_t(i) < got ? b[i] : -1) * scale; };
    for (int k = 0; k < 256; k++) {
        pal->r[k] = at(3 * k);
        pal->g[k] = at(3 * k + 1);
        pal->b[k] = at(3 * k + 2);
    }

    // Notes of a file that may not be a palette, or not of this form; only
    // a regular file's size is known without reading it all
    struct stat st;
    bool regular = fstat(fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode);
    notesize(arg, regular ? std::max<uint64_t>(uint64_t(st.st_size), got) : got, got);
    unsigned char most = got ? *std::max_element(b, b + got) : 0;
    if (scale == 4 && most > 63)
        fprintf(stderr, "%s: values above 63, so it holds 8-bit colours: give it as blood:%s\n", arg, arg);
    if (scale == 1 && got > 0 && most < 64)
        fprintf(stderr, "%s: every value is below 64, so it holds 6-bit colours: give it without blood:\n", arg);
    return true;
}

std::string tilename(const std::string &dir, int32_t t, const char *ext)
{
    char name[32];
    snprintf(name, sizeof name, "/tile%03d.", t);
    return dir + name + ext;
}

bool tilenumber(const char *name, int64_t *n)
{
    if (strncmp(name, "tile", 4) != 0)
        return false;
    const char *p = name + 4;
    while (isspace((unsigned char)*p))
        p++;
    bool neg = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (!isdigit((unsigned char)*p))
        return false;
    int64_t v = 0;
    for (; isdigit((unsigned char)*p); p++)
        v = std::min<int64_t>(v * 10 + (*p - '0'), int64_t(1) << 40);
    if (*p++ != '.')
        return false;
    while (isspace((unsigned char)*p))
        p++;
    size_t len = 0;
    while (p[len] && !isspace((unsigned char)p[len]))
        len++;
    if (!((len == 3 && memcmp(p, "png", 3) == 0) || (len == 4 && memcmp(p, "yaml", 4) == 0)))
        return false;
    *n = neg ? -v : v;
    return true;
}

std::string sidecartext(const sidecar &s)
{
    const struct {
        const char *fmt;
        int32_t v;
    } lines[] = {
        {"- xcenter: %d\n", s.xcenter}, {"- ycenter: %d\n", s.ycenter},
        {"- frames: %d\n", s.frames},   {"- animtype: %d\n", s.animtype},
        {"- animspeed: %d\n", s.animspeed},
    };
    std::string text;
    for (const auto &l : lines) {
        if (l.v == 0)
            continue;
        char buf[48];
        snprintf(buf, sizeof buf, l.fmt, l.v);
        text += buf;
    }
    return text;
}

static bool isspc(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static bool islineend(char c) { return c == '\n' || c == '\r'; }

// One entry at p: "-", white space, a key up to ":" on the same line,
// ":", white space (line ends too), a decimal integer with optional sign.
// Returns where it ends, or null when it doesn't match. Numbers wrap to 32
// bits, which is all the fields they feed can hold anyway.
static const char *parseentry(const char *p, const char *end, std::string &key, int32_t &v)
{
    if (*p++ != '-')
        return nullptr;
    while (p < end && isspc(*p))
        p++;
    const char *k = p;
    while (p < end && *p != ':' && !islineend(*p))
        p++;
    if (p == end || *p != ':' || p == k)
        return nullptr;
    // no key is longer than 9 bytes: a longer one is only skipped
    key.assign(k, std::min<size_t>(size_t(p - k), 16));
    p++;
    while (p < end && isspc(*p))
        p++;
    bool neg = false;
    if (p < end && (*p == '-' || *p == '+'))
        neg = *p++ == '-';
    if (p == end || *p < '0' || *p > '9')
        return nullptr;
    uint32_t n = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++)
        n = n * 10 + uint32_t(*p - '0');
    v = int32_t(neg ? 0u - n : n);
    return p;
}

void parsesidecar(const std::string &text, sidecar *s)
{
    std::string key;
    const char *p = text.data(), *end = p + text.size();
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        p += 3;     // a byte-order mark some editors write
    while (true) {
        while (p < end && isspc(*p))
            p++;
        if (p == end)
            break;
        int32_t v;
        const char *next = parseentry(p, end, key, v);
        if (!next) {
            // skip the line the entry began on
            while (p < end && !islineend(*p))
                p++;
            continue;
        }
        p = next;
        if (key == "xcenter")
            s->xcenter = int8_t(uint8_t(v));
        else if (key == "ycenter")
            s->ycenter = int8_t(uint8_t(v));
        else if (key == "frames")
            s->frames = v;
        else if (key == "animtype")
            s->animtype = v;
        else if (key == "animspeed")
            s->animspeed = v;
        else if (key == "rgba")
            s->rgba = v;
    }
}

int readwhole(const std::string &path, std::string &data, uint64_t most)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);    // a FIFO must not block
    if (fd < 0)
        return errno;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EISDIR
            : uint64_t(st.st_size) > most ? EFBIG : 0;
    if (!err) {
        data.resize(size_t(st.st_size));
        size_t got = 0;
        ssize_t k = 0;
        while (got < data.size() && (k = read(fd, &data[got], data.size() - got)) > 0)
            got += size_t(k);
        if (k < 0)
            err = errno;
        data.resize(got);   // a file that shrank meanwhile gives what it has
    }
    close(fd);
    return err;
}

int readsidecar(const std::string &path, sidecar *s)
{
    std::string text;
    int err = readwhole(path, text, maxsidecar);
    if (err == 0)
        parsesidecar(text, s);
    return err;
}
