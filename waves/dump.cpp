#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "outfile.h"
#include "platform.h"
#include "report.h"
#include "zbq.h"
#include "zbqtool.h"

using filep = std::unique_ptr<FILE, int (*)(FILE *)>;

static int shortdata(const char *bank, uint32_t index)
{
    return report(4, "%s: wave bank ends inside the data of sample %u", bank, index);
}

// Copies the next len bytes of the bank into path, whole or not at all.
// Returns 0, 2 when the bank can't be read, 4 when it ends first, 5 when
// path can't be written.
static int copyout(FILE *in, uint64_t len, const std::string &path, const char *bank, uint32_t index)
{
    errno = 0;
    outfilep out = outopen(path);
    if (!out)
        return cantwrite(5, path.c_str(), errno ? errno : EIO);
    int64_t got = outcopy(out.get(), fileno(in), len);
    if (got < 0)
        return cantread(2, bank, errno);
    if (got < int64_t(len) && !outerror(out.get()))
        return shortdata(bank, index);
    if (int err = outcommit(std::move(out)))
        return cantwrite(5, path.c_str(), err);
    return 0;
}

int dump(const char *bank, const char *dir)
{
    filep f(openinput(bank), fclose);
    struct stat st;
    if (!f || fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode))
        return cantinput(2);    // a directory opens for reading, but holds no bank
    bool regular = S_ISREG(st.st_mode);
    setvbuf(f.get(), nullptr, _IONBF, 0);   // samples are copied from the file's own offset
    header h;
    if (int e = readheader(f.get(), &h))
        return e == 2 ? cantread(2, bank, errno) : report(4, "%s: wave bank ends inside its header", bank);
    printf("header: version %d, waves %d\n", int32_t(h.version), int32_t(h.waves));
    // a regular file must hold the table and all the data it announces
    // before anything is written
    std::vector<sample> tab;
    uint32_t at = 0;
    switch (readtable(f.get(), h, regular ? int64_t(st.st_size) : -1, tab, &at)) {
    case 2: return cantread(2, bank, errno);
    case 3: return report(3, "wrong header");
    case 4: return report(4, "%s: wave bank ends inside its record table", bank);
    case 5: return shortdata(bank, at);
    }

    // The earlier script goes before the first sample is written and the
    // new one, made in memory (one output file at a time), comes last: a
    // dump that stops halfway leaves no script to pack a mix of old and new
    // samples. The name goes, never a file it links to.
    std::string scriptpath = std::string(dir) + "/bankinfo.lua";
    if (removename(scriptpath.c_str()) != 0 && errno != ENOENT)
        return report(5, "%s: can't remove: %s", scriptpath.c_str(), strerror(errno));
    std::string script = bankhead;
    for (uint32_t i = 0; i < h.waves; i++) {
        const sample &s = tab[i];
        if (s.name[0] == 0)
            continue;
        printf("sample % 4d, name '%s' (% 4d), len %d, loop %d-%d, fine %d\n", int32_t(i),
               samplename(s).c_str(), int8_t(s.name[15]), int32_t(s.len), int32_t(s.loopbegin),
               int32_t(s.loopend), s.finetune);
        if (s.len != 0) {
            char name[32];
            snprintf(name, sizeof name, "/sound%03u.raw", i);
            if (int e = copyout(f.get(), s.len, dir + std::string(name), bank, i))
                return e;
        }
        script += bankentry(i, s);
    }
    script += banktail;
    if (int err = savefile(scriptpath, script.data(), script.size()))
        return cantwrite(5, scriptpath.c_str(), err);
    if (int err = outsync())
        return report(5, "%s: can't sync: %s", dir, strerror(err));
    return 0;
}
