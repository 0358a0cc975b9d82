#include "changes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "art.h"
#include "openfiles.h"
#include "platform.h"
#include "report.h"
#include "vrel.h"

constexpr size_t listed = 16;   // changes named one by one; the rest are counted

changes::~changes()
{
    if (fd >= 0)
        close(fd);
}

void cantcompare(changes *c, const std::string &why)
{
    if (c->fd < 0)
        return;
    close(c->fd);
    c->fd = -1;
    c->why = c->archive + ": " + why + "; no changes listed";
}

static void notarchive(changes *c)
{
    cantcompare(c, "the file replaced is not a readable tile archive");
}

static bool readall(int fd, unsigned char *p, size_t n, uint64_t off)
{
    for (size_t got = 0; got < n;) {
        int64_t k = readat(fd, p + got, n - got, off + got);
        if (k <= 0) {
            errno = k == 0 ? 0 : errno;
            return false;
        }
        got += size_t(k);
    }
    return true;
}

// A read of the file replaced that failed; one that ended early (errno 0)
// means it is no archive.
static void cantread(changes *c)
{
    if (errno == 0)
        notarchive(c);
    else
        cantcompare(c, std::string("can't read the file replaced: ") + strerror(errno));
}

void readold(changes *c, const char *archive)
{
    c->archive = archive;
    struct stat st;
    if (stat(archive, &st) != 0 || !S_ISREG(st.st_mode))
        return;     // a new file, or none that holds an archive: a FIFO, a device
    c->fd = openread(archive, &st);
    if (c->fd < 0) {
        c->why = c->archive + ": can't read the file replaced: " + strerror(errno) + "; no changes listed";
        return;
    }
    unsigned char head[16];
    uint64_t size = uint64_t(st.st_size);
    if (!S_ISREG(st.st_mode) || !readall(c->fd, head, sizeof head, 0))
        return cantread(c);
    c->first = int32_t(get_u32(head + 8));
    c->n = int64_t(int32_t(get_u32(head + 12))) - c->first + 1;
    if (c->n < 0 || uint64_t(c->n) * 8 > size - 16)
        return notarchive(c);
    if (c->n > maxtiles)
        return cantcompare(c, "the file replaced holds more than 65536 tiles");
    c->tab.resize(size_t(c->n) * 8);
    if (!readall(c->fd, c->tab.data(), c->tab.size(), 16))
        return cantread(c);
    uint64_t at = 16 + c->tab.size();
    for (int64_t i = 0; i < c->n; i++) {
        c->at.push_back(at);
        at += tilesize(c->tab.data(), uint64_t(c->n), uint64_t(i));
    }
    if (at > size)
        notarchive(c);
}

static void line(changes *c, int64_t t, const std::string &what)
{
    c->changed++;
    if (c->lines.size() < listed)
        c->lines.push_back("tile " + std::to_string(t) + ": " + what);
}

static std::string size(unsigned w, unsigned h)
{
    return w && h ? std::to_string(w) + "x" + std::to_string(h) : "empty";
}

// Tiles of the old archive numbered from from to to - 1: the new one lacks them.
static void removed(changes *c, int64_t from, int64_t to)
{
    for (int64_t t = std::max(from, c->first); t < std::min(to, c->first + c->n); t++) {
        int64_t i = t - c->first;
        unsigned w = get_u16(&c->tab[2 * i]), h = get_u16(&c->tab[2 * (c->n + i)]);
        line(c, t, "removed, was " + size(w, h));
        c->removed++;
    }
}

void newrange(changes *c, int64_t first, int64_t n)
{
    c->newfirst = first;
    c->newn = n;
    if (c->fd >= 0)
        removed(c, INT64_MIN, first);
}

void comparetile(changes *c, int32_t t, unsigned w, unsigned h, uint32_t anm)
{
    c->tile = t;
    c->pixels = false;
    c->diff = c->clear = 0;
    c->size.clear();
    c->fields.clear();
    if (c->fd < 0)
        return;
    int64_t i = int64_t(t) - c->first;
    if (i < 0 || i >= c->n) {
        c->size = "added, " + size(w, h);
        c->added++;
        return;
    }
    unsigned ow = get_u16(&c->tab[2 * i]), oh = get_u16(&c->tab[2 * (c->n + i)]);
    uint32_t was = get_u32(&c->tab[4 * (c->n + i)]);
    bool had = ow && oh, has = w && h;
    if (had && !has)
        c->size = "emptied, was " + size(ow, oh);
    else if (!had && has)
        c->size = "was empty, now " + size(w, h);
    else if (has && (ow != w || oh != h))
        c->size = "resized " + size(ow, oh) + " -> " + size(w, h);
    else if (has) {
        c->pixels = true;
        c->pos = c->at[size_t(i)];
    }
    int32_t f[2][5];
    int8_t xc[2], yc[2];
    decodeanm(was, &f[0][0], &f[0][1], &xc[0], &yc[0], &f[0][4]);
    decodeanm(anm, &f[1][0], &f[1][1], &xc[1], &yc[1], &f[1][4]);
    f[0][2] = xc[0], f[0][3] = yc[0], f[1][2] = xc[1], f[1][3] = yc[1];
    static const char *const field[5] = {"frames", "animtype", "xcenter", "ycenter", "animspeed"};
    auto add = [&](const std::string &part) { c->fields += "; " + part; };
    for (int k : {2, 3, 0, 1, 4})  // in a sidecar's order
        if (f[0][k] != f[1][k])
            add(std::string(field[k]) + " " + std::to_string(f[0][k]) + " -> " + std::to_string(f[1][k]));
    if ((was ^ anm) >> 28)
        add("anm bits 28-31 " + std::to_string(was >> 28) + " -> " + std::to_string(anm >> 28));
}

// Columns come in the archive's order: each strip is compared with the
// same bytes of the old tile, whole where they agree.
void comparecolumns(changes *c, const unsigned char *cols, size_t n)
{
    if (c->fd < 0 || !c->pixels)
        return;
    c->old.resize(std::max(c->old.size(), n));
    if (!readall(c->fd, c->old.data(), n, c->pos))
        return cantread(c);
    c->pos += n;
    if (memcmp(c->old.data(), cols, n) == 0)
        return;
    for (size_t j = 0; j < n; j++)
        if (cols[j] != c->old[j]) {
            c->diff++;
            c->clear += cols[j] == 255;
        }
}

void endtile(changes *c)
{
    if (c->fd < 0)
        return;
    std::string says = c->size;
    if (c->diff > c->clear)
        says += "; " + counted(c->diff - c->clear, "pixel") + " changed";
    if (c->clear)
        says += "; " + counted(c->clear, "pixel") + " made transparent";
    says += c->fields;
    if (says.compare(0, 2, "; ") == 0)
        says.erase(0, 2);
    if (!says.empty())
        line(c, c->tile, says);
}

void donecomparing(changes *c)
{
    if (c->fd < 0)
        return;
    removed(c, c->newfirst + c->newn, INT64_MAX);
    close(c->fd);
    c->fd = -1;
    c->done = true;
}

void saychanges(changes *c)
{
    if (!c->why.empty()) {
        say("%s", c->why.c_str());
        return;
    }
    if (!c->done)
        return;
    for (const std::string &l : c->lines)
        say("%s", l.c_str());
    if (c->changed > int64_t(c->lines.size()))
        say("... and %lld more", (long long)(c->changed - int64_t(c->lines.size())));
    // tiles in either archive: both ranges less their overlap
    int64_t both = std::max<int64_t>(0, std::min(c->first + c->n, c->newfirst + c->newn) -
                                            std::max(c->first, c->newfirst));
    int64_t all = c->n + c->newn - both;
    std::string also;
    if (c->added)
        also += "; " + std::to_string(c->added) + " added";
    if (c->removed)
        also += (c->added ? ", " : "; ") + std::to_string(c->removed) + " removed";
    say("%lld of %s changed%s", (long long)c->changed, counted(uint64_t(all), "tile").c_str(), also.c_str());
}
