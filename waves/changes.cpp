#include "changes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "openfiles.h"
#include "platform.h"
#include "report.h"

constexpr size_t maxlines = 16;     // samples named; the rest are counted
constexpr size_t chunk = 1 << 16;   // bytes of data compared at a time

using filep = std::unique_ptr<FILE, int (*)(FILE *)>;

// 32 zero bytes: a gap in the table, not a sample.
static bool gap(const sample &s)
{
    static const char none[16] = {};
    return memcmp(s.name, none, 16) == 0 && s.len == 0 && s.loopbegin == 0 && s.loopend == 0 && s.finetune == 0;
}

// How many of len bytes differ between the bank open as old, from off, and
// the sample file open as fd or named path; -1 when the bank can't give
// them. Bytes the sample file can't give count as changed: copying it then
// fails the pump, which lists nothing.
static int64_t differing(int old, uint64_t off, int fd, const std::string &path, uint32_t len,
                         std::vector<unsigned char> &buf)
{
    std::vector<int> own = {-1};
    fdlist keep(&own, closeall);
    struct stat st;
    if (fd < 0)
        fd = own[0] = openread(path.c_str(), &st);
    unsigned char *a = buf.data(), *b = a + chunk;
    int64_t diff = 0;
    for (uint64_t at = 0; at < len; at += chunk) {
        size_t n = size_t(std::min<uint64_t>(chunk, len - at));
        if (readat(old, a, n, off + at) != int64_t(n))
            return -1;
        int64_t k = fd >= 0 ? readat(fd, b, n, at) : -1;
        size_t got = k > 0 ? size_t(k) : 0;
        if (got == n && memcmp(a, b, n) == 0)
            continue;
        for (size_t j = 0; j < n; j++)
            diff += j >= got || a[j] != b[j];
    }
    return diff;
}

// A name field as the list shows it: its text up to the first 0 byte
// without trailing spaces, or all 16 bytes where that would show two
// different fields alike.
static std::string nametext(const sample &s, bool whole)
{
    std::string t(s.name, whole ? 16 : strnlen(s.name, 16));
    while (!whole && !t.empty() && t.back() == ' ')
        t.pop_back();
    return luaquote(t);
}

// What differs between two records that are both samples, "" for nothing;
// bytes is how many data bytes differ where their lengths are the same.
static std::string difference(const sample &o, const sample &s, int64_t bytes)
{
    std::string d;
    auto add = [&](const std::string &part) { d += (d.empty() ? "" : "; ") + part; };
    if (memcmp(o.name, s.name, 16) != 0) {
        bool whole = nametext(o, false) == nametext(s, false);
        add(formatted("name %s -> %s", nametext(o, whole).c_str(), nametext(s, whole).c_str()));
    }
    if (o.len != s.len)
        add(formatted("len %u -> %u", o.len, s.len));
    else if (bytes == 1)
        add("1 byte changed");
    else if (bytes > 1)
        add(formatted("%lld bytes changed", (long long)bytes));
    if (o.loopbegin != s.loopbegin || o.loopend != s.loopend)
        add(formatted("loop %d-%d -> %d-%d", int32_t(o.loopbegin), int32_t(o.loopend), int32_t(s.loopbegin),
                   int32_t(s.loopend)));
    if (o.finetune != s.finetune)
        add(formatted("fine %d -> %d", o.finetune, s.finetune));
    return d;
}

std::vector<std::string> changes(const char *path, const std::vector<sample> &recs,
                                 const std::vector<std::string> &paths, const std::vector<int> &fds)
{
    // only a regular file is read: never a FIFO or a device
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    std::vector<std::string> unreadable = {
        formatted("%s: the file replaced is not a readable wave bank; no changes listed", path)};
    std::vector<int> own = {openread(path, &st)};
    fdlist keep(&own, closeall);
    if (own[0] >= 0 && !S_ISREG(st.st_mode))
        return {};  // swapped since
    int fd = own[0];
    filep f(fd >= 0 ? fdopen(fd, "rb") : nullptr, fclose);
    if (!f)
        return unreadable;
    own[0] = -1;    // f closes it
    setvbuf(f.get(), nullptr, _IONBF, 0);
    header h;
    std::vector<sample> old;
    uint32_t at;
    if (readheader(f.get(), &h) != 0 || readtable(f.get(), h, int64_t(st.st_size), old, &at) != 0)
        return unreadable;

    // The records side by side, the old data's place following the
    // records before it that have data, as the dump reads it.
    std::vector<std::string> lines;
    std::vector<unsigned char> buf(2 * chunk);
    size_t total = 0, changed = 0, added = 0, removed = 0;
    uint64_t off = headersize + samplesize * uint64_t(old.size());
    const sample none = {};
    for (size_t i = 0; i < std::max(old.size(), recs.size()); i++) {
        const sample &o = i < old.size() ? old[i] : none, &s = i < recs.size() ? recs[i] : none;
        uint64_t start = off;
        if (hasdata(o))
            off += o.len;
        if (gap(o) && gap(s))
            continue;
        total++;
        std::string what;
        if (gap(o)) {
            what = "added";
            added++;
        } else if (gap(s)) {
            what = "removed";
            removed++;
        } else {
            int64_t bytes = 0;
            // an old record without data (no name) has none to match
            if (o.len == s.len && s.len > 0)
                bytes = hasdata(o) ? differing(fd, start, fds[i], paths[i], s.len, buf) : s.len;
            if (bytes < 0)
                return unreadable;
            if ((what = difference(o, s, bytes)).empty())
                continue;
        }
        if (++changed <= maxlines)
            lines.push_back(formatted("sample %llu: %s", (unsigned long long)i, what.c_str()));
    }
    if (changed > maxlines)
        lines.push_back(formatted("... and %llu more", (unsigned long long)(changed - maxlines)));
    std::string sum = formatted("%llu of %s changed", (unsigned long long)changed, counted(total, "sample").c_str());
    if (added > 0 && removed > 0)
        sum += formatted("; %llu added, %llu removed", (unsigned long long)added, (unsigned long long)removed);
    else if (added > 0)
        sum += formatted("; %llu added", (unsigned long long)added);
    else if (removed > 0)
        sum += formatted("; %llu removed", (unsigned long long)removed);
    lines.push_back(sum);
    return lines;
}
