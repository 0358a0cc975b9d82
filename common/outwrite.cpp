#include "outlayer.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

// The one output open: the bytes not yet written wait in one buffer.
static outfile *current;
static std::vector<char> buf;
static size_t buffered;

void takebuffer(outfile *o)
{
    assert(!current && "one output at a time");
    current = o;
    buf.resize(1 << 20);
}

void dropbuffer(outfile *o)
{
    if (current == o) {
        current = nullptr;
        buffered = 0;
    }
}

// Writes n bytes at p straight to the file; a failure is kept. No write
// asks for more than 1 GiB, which some systems refuse.
static void put(outfile *o, const char *p, size_t n)
{
    while (n > 0 && !o->err) {
        ssize_t k = write(o->fd, p, std::min<size_t>(n, 1 << 30));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            o->err = k < 0 ? errno : EIO;
            break;
        }
        p += k;
        n -= size_t(k);
        writeback(o, uint64_t(k));
    }
}

void flush(outfile *o)
{
    put(o, buf.data(), buffered);
    buffered = 0;
}

void outwrite(outfile *o, const void *p, size_t n)
{
    if (buffered + n > buf.size()) {
        flush(o);
        if (n >= buf.size())
            return put(o, static_cast<const char *>(p), n);
    }
    memcpy(buf.data() + buffered, p, n);
    buffered += n;
}

int outerror(const outfile *o) { return o->err; }

bool outinplace(const outfile *o) { return o->tmp.empty(); }

int64_t copyrest(outfile *o, int fd, uint64_t len, uint64_t done)
{
    while (done < len && !o->err) {
        ssize_t k = read(fd, buf.data(), std::min<uint64_t>(len - done, buf.size()));
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            return -1;
        if (k == 0)
            break;
        put(o, buf.data(), size_t(k));
        done += uint64_t(k);
    }
    return int64_t(done);
}

int savefile(const std::string &path, const void *data, size_t n, bool durable)
{
    errno = 0;
    outfilep o = outopen(path, durable);
    if (!o)
        return errno ? errno : EIO;
    outwrite(o.get(), data, n);
    return outcommit(std::move(o));
}
