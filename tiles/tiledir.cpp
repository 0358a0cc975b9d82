#include "tiledir.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "likely.h"
#include "openfiles.h"
#include "platform.h"
#include "report.h"

using filep = std::unique_ptr<FILE, int (*)(FILE *)>;

// A note when the file is shorter than the 768 bytes of a palette: which
// entries its end leaves without colour. A longer file is the usual kind,
// with tables of its own after the colours: no note. got is the bytes
// read, at most 768.
static void notesize(const char *file, size_t got)
{
    unsigned long long n = got;
    int e = int(got / 3);   // whole entries
    if (got == 768)
        return;
    else if (got == 0)
        note("%s: 0 bytes, a palette holds 768; all 256 entries are missing", file);
    else if (got == 1)
        note("%s: 1 byte, a palette holds 768; entry 0 lacks its green and blue, and entries 1 to 255 "
             "are missing", file);
    else if (got % 3 == 0 && e < 255)
        note("%s: %llu bytes, a palette holds 768; entries %d to 255 are missing", file, n, e);
    else if (got == 765)
        note("%s: 765 bytes, a palette holds 768; entry 255 is missing", file);
    else if (got % 3 == 1 && e < 254)
        note("%s: %llu bytes, a palette holds 768; entry %d lacks its green and blue, and entries %d to "
             "255 are missing", file, n, e, e + 1);
    else if (got % 3 == 2 && e < 254)
        note("%s: %llu bytes, a palette holds 768; entry %d lacks its blue, and entries %d to 255 are "
             "missing", file, n, e, e + 1);
    else if (got == 763)
        note("%s: 763 bytes, a palette holds 768; entry 254 lacks its green and blue, and entry 255 is "
             "missing", file);
    else if (got == 764)
        note("%s: 764 bytes, a palette holds 768; entry 254 lacks its blue, and entry 255 is missing", file);
    else if (got == 766)
        note("%s: 766 bytes, a palette holds 768; entry 255 lacks its green and blue", file);
    else
        note("%s: 767 bytes, a palette holds 768; entry 255 lacks its blue", file);
}

bool loadpalette(const char *arg, palette *pal)
{
    int scale = 4;
    if (strncmp(arg, "blood:", 6) == 0) {
        arg += 6;
        scale = 1;
    }
    filep f(openinput(arg), fclose);
    if (!f && errno == EISDIR)  // where a directory won't open: as reading it fails
        report(2, "%s: can't read palette: %s", arg, strerror(errno));
    if (!f)
        return false;
    unsigned char b[768];
    size_t got = fread(b, 1, sizeof b, f.get());
    if (ferror(f.get())) {  // not the end of a short file: its colours are unknown
        report(2, "%s: can't read palette: %s", arg, strerror(errno));
        return false;
    }
    // a byte past the end counts as EOF, -1: a short file gives -scale
    auto at = [&](int i) { return (size_t(i) < got ? b[i] : -1) * scale; };
    for (int k = 0; k < 256; k++) {
        pal->r[k] = at(3 * k);
        pal->g[k] = at(3 * k + 1);
        pal->b[k] = at(3 * k + 2);
    }

    // Notes of a file that may not be a palette, or not of this form
    notesize(arg, got);
    unsigned char most = got ? *std::max_element(b, b + got) : 0;
    if (scale == 4 && most > 63)
        note("%s: values above 63, so it holds 8-bit colours: give it as blood:%s", arg, arg);
    if (scale == 1 && got > 0 && most < 64)
        note("%s: every value is below 64, so it holds 6-bit colours: give it without blood:", arg);
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

// Skips white space, counting the line ends passed ("\r\n" as one).
static const char *skipspace(const char *p, const char *end, int *line)
{
    for (; p < end && isspc(*p); p++)
        if (*p == '\n' || (*p == '\r' && (p + 1 == end || p[1] != '\n')))
            ++*line;
    return p;
}

static const char *lineend(const char *p, const char *end)
{
    while (p < end && !islineend(*p))
        p++;
    return p;
}

// Text of a file's bytes as a note quotes it: at most 32 bytes, escaped.
static std::string clip(const char *p, size_t n)
{
    return shown(n > 32 ? std::string(p, 32) + "..." : std::string(p, n));
}

static void noteline(std::string *notes, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static void noteline(std::string *notes, int line, const char *fmt, ...)
{
    if (!notes)
        return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    *notes += "line " + std::to_string(line) + ": " + buf + "\n";
}

// One entry at p: "-", white space, a key up to ":" on the same line,
// ":", white space (line ends too), a decimal integer with optional sign.
// Returns where it ends, or null, after a note saying why, when it doesn't
// match. Numbers wrap to 32 bits, which is all the fields they feed can
// hold anyway; exact gets the number as written, saturating far beyond.
static const char *parseentry(const char *p, const char *end, int *line, std::string &key, int32_t &v,
                              int64_t &exact, const char *&num, std::string *notes)
{
    int first = *line;
    if (*p == '#')
        return nullptr;     // a comment
    if (*p++ != '-') {
        noteline(notes, first, "not a \"- key: value\" entry; ignored");
        return nullptr;
    }
    p = skipspace(p, end, line);
    const char *k = p;
    while (p < end && *p != ':' && !islineend(*p))
        p++;
    if (p == end || *p != ':' || p == k) {
        noteline(notes, first, "not a \"- key: value\" entry; ignored");
        return nullptr;
    }
    key.assign(k, std::min<size_t>(size_t(p - k), 40));    // no key is longer: a longer one is only named
    std::string name = clip(k, size_t(p - k));
    int keyline = *line;
    p = skipspace(p + 1, end, line);
    num = p;
    bool neg = false;
    if (p < end && (*p == '-' || *p == '+'))
        neg = *p++ == '-';
    if (p == end || *p < '0' || *p > '9') {
        if (num == end || *line != keyline)
            noteline(notes, first, "%s has no value; ignored", name.c_str());
        else if (std::string v = clip(num, size_t(std::find_if(num, end, isspc) - num)); *num == '"' || *num == '\'')
            noteline(notes, first, "%s %s is not a number: write it without quotes; ignored", name.c_str(), v.c_str());
        else
            noteline(notes, first, "%s \"%s\" is not a number; ignored", name.c_str(), v.c_str());
        return nullptr;
    }
    uint32_t n = 0;
    exact = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + uint32_t(*p - '0');
        exact = std::min<int64_t>(exact * 10 + (*p - '0'), int64_t(1) << 40);
    }
    v = int32_t(neg ? 0u - n : n);
    exact = neg ? -exact : exact;
    return p;
}

static const char *const sidekeys[] = {"xcenter", "ycenter", "frames", "animtype", "animspeed", "rgba"};

// Stores the value of a known key (its index in sidekeys) and returns
// what the archive gets of it.
static int32_t setfield(sidecar *s, int key, int32_t v)
{
    int32_t stored = v;
    switch (key) {
    case 0: stored = s->xcenter = int8_t(uint8_t(v)); break;
    case 1: stored = s->ycenter = int8_t(uint8_t(v)); break;
    case 2: stored = (s->frames = v) & 0x3F; break;      // encodeanm keeps the low bits
    case 3: stored = (s->animtype = v) & 3; break;
    case 4: stored = (s->animspeed = v) & 0xF; break;
    case 5: s->rgba = v; break;
    }
    return stored;
}

void parsesidecar(const std::string &text, sidecar *s, std::string *notes)
{
    std::string key;
    const char *p = text.data(), *end = p + text.size();
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        p += 3;     // a byte-order mark some editors write
    int line = 1, given[6] = {};
    bool junk = false;  // the rest of p's line is already named in a note
    while (true) {
        p = skipspace(p, end, &line);
        if (p == end)
            break;
        int first = line;
        int32_t v;
        int64_t exact;
        const char *num;
        const char *next = parseentry(p, end, &line, key, v, exact, num, junk ? nullptr : notes);
        junk = false;
        if (!next) {
            // skip the line the entry began on
            p = lineend(p, end);
            line = first;
            continue;
        }
        p = next;
        std::string k = clip(key.data(), key.size());
        auto known = std::find(std::begin(sidekeys), std::end(sidekeys), key);
        if (known == std::end(sidekeys)) {
            if (const char *meant = likelykey(key.c_str(), sidekeys, std::size(sidekeys)))
                noteline(notes, first, "unknown key \"%s\" is ignored (did you mean \"%s\"?)", k.c_str(), meant);
            else
                noteline(notes, first, "unknown key \"%s\" is ignored", k.c_str());
            continue;
        }
        int f = int(known - std::begin(sidekeys));
        if (given[f])
            noteline(notes, first, "%s is given again; the value on line %d is replaced", k.c_str(), given[f]);
        given[f] = first;
        int32_t stored = setfield(s, f, v);
        static const char *const range[] = {"-128 to 127", "-128 to 127", "0 to 63", "0 to 3", "0 to 15",
                                            "-2147483648 to 2147483647"};
        if (next < end && !isspc(*next)) {
            // "1.5", "12abc": the number is taken, the rest skipped as a line
            // that is no entry, without a second note
            std::string text = clip(num, size_t(std::find_if(next, end, isspc) - num));
            noteline(notes, first, "%s \"%s\" is not a whole number; stored as %d", k.c_str(), text.c_str(),
                 int(stored));
            junk = true;
        } else if (stored != exact) {
            noteline(notes, first, "%s %s is outside %s; stored as %d", k.c_str(), std::string(num, next).c_str(),
                     range[f], int(stored));
        }
        // "- frames: 3 frames": the value is stored, the words after it are
        // not an entry; another entry or a comment may follow
        const char *rest = next;
        while (rest < end && isspc(*rest) && !islineend(*rest))
            rest++;     // \v and \f too: the trim below must stop at rest
        if (!junk && rest < end && !islineend(*rest) && *rest != '-' && *rest != '#') {
            const char *stop = lineend(rest, end);
            while (isspc(stop[-1]))
                stop--;
            noteline(notes, first, "%s %d is stored; \"%s\" after it is ignored", k.c_str(), int(stored),
                     clip(rest, size_t(stop - rest)).c_str());
            junk = true;
        }
        if (f == 5 && stored != 0 && stored != 1)
            noteline(notes, first, "rgba %d is neither 0 nor 1; taken as 1", int(stored));
    }
}

int readwhole(const std::string &path, std::string &data, uint64_t most)
{
    struct stat st;
    int fd = openread(path.c_str(), &st);   // a FIFO must not block
    if (fd < 0)
        return errno;
    int err = !S_ISREG(st.st_mode) ? EISDIR : uint64_t(st.st_size) > most ? EFBIG : 0;
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
    std::string text, notes;
    int err = readwhole(path, text, maxsidecar);
    if (err != 0)
        return err;
    parsesidecar(text, s, &notes);
    for (size_t at = 0, nl; (nl = notes.find('\n', at)) != std::string::npos; at = nl + 1)
        note("%s: %.*s", path.c_str(), int(nl - at), notes.c_str() + at);
    return 0;
}
