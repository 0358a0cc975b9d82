#include "outlayer.h"
#include "report.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef HAVE_XATTR
#include <sys/xattr.h>
#endif

// The temporary being written, for the signal handler: its name is set
// before its directory, and the directory cleared before it is closed.
static volatile sig_atomic_t livedir = -1;
static char livename[64];

// Complete temporaries waiting to be renamed over the files they replace
// until their data is on disk, so that after a crash each name holds its
// old file or its new one. One sync serves a batch; the signal handler
// removes them, leaving the old files.
constexpr int batchmax = 256;
struct waiting {
    int dir;            // its directory, shared with other entries of the same one
    bool owner;         // this entry closes dir
    dev_t dev;
    ino_t ino;
    char tmp[64];
    char name[NAME_MAX + 1];
};
static waiting batch[batchmax];
static volatile sig_atomic_t waitcount;

static void onsignal(int sig)
{
    for (int i = 0; i < waitcount; i++)
        unlinkat(batch[i].dir, batch[i].tmp, 0);
    int dir = livedir;
    if (dir >= 0)
        unlinkat(dir, livename, 0);
    raise(sig);     // the handler was reset on entry: this ends the process
}

void outsignals()
{
    struct sigaction sa = {};
    sa.sa_handler = onsignal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    const int sigs[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : sigs)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : sigs) {
        struct sigaction old;
        // ignored by whoever started us (nohup, a background job): leave it so
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void defaultsignals(bool on)
{
    signal(SIGPIPE, on ? SIG_DFL : SIG_IGN);
    signal(SIGXFSZ, on ? SIG_DFL : SIG_IGN);
}

void outdrop(outfile *o)
{
    if (o->fd >= 0)
        close(o->fd);
    if (o->keep >= 0)
        close(o->keep);
    if (o->dir >= 0) {
        if (!o->tmp.empty())
            unlinkat(o->dir, o->tmp.c_str(), 0);
        livedir = -1;
        close(o->dir);
    }
    dropbuffer(o);
    delete o;
}

// The name that a chain of symbolic links at path ends in: the file fopen
// would write, or create when the chain dangles.
static std::string follow(std::string path)
{
    for (int hops = 0; hops < 40; hops++) {
        char buf[PATH_MAX];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        if (n < 0 || size_t(n) == sizeof buf)
            return path;    // not a link; opening an overlong one fails on its own
        std::string to(buf, size_t(n));
        size_t slash = path.rfind('/');
        path = to[0] == '/' || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
    }
    return path;            // a loop: opening it fails with ELOOP
}

// No output: what was made for it goes, errno stays.
static outfilep none(outfilep o)
{
    int err = errno;
    o.reset();
    errno = err;
    return outfilep(nullptr, outdrop);
}

static outfilep opened(outfilep o, int fd)
{
    o->fd = fd;
    return fd >= 0 ? std::move(o) : none(std::move(o));
}

// What fopen does: the file itself, truncated or created.
static outfilep inplace(outfilep o, const std::string &path)
{
    o->dir = -1;
    return opened(std::move(o), open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

// Opens the directory of the temporary: for reading, so that it can be
// synced, or else (mode 0333) for lookups alone. False, with errno set,
// when it can't be.
static bool opendirectory(outfile *o, const std::string &dir)
{
    o->dir = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    o->dirsync = o->dir >= 0;
#if defined(O_PATH)
    if (o->dir < 0 && errno == EACCES)
        o->dir = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#elif defined(O_SEARCH)
    if (o->dir < 0 && errno == EACCES)
        o->dir = open(dir.c_str(), O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
    return o->dir >= 0;
}

static bool ingroup(gid_t g)
{
    if (g == getegid())
        return true;
    int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(std::max(n, 0)));
    n = getgroups(n, groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, g) != groups.begin() + n;
}

// Whether the file st is mounted over its name (a bind mount), where a
// rename over it is refused.
static bool mountedon(const std::string &path, const struct stat &st, const std::string &dir)
{
#ifdef STATX_ATTR_MOUNT_ROOT
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, 0, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return sx.stx_attributes & STATX_ATTR_MOUNT_ROOT;
#endif
    struct stat ds;
    return stat(dir.c_str(), &ds) == 0 && ds.st_dev != st.st_dev;
}

using attrlist = std::vector<std::pair<std::string, std::string>>;

#ifdef HAVE_XATTR
// Reads into buf what get gives (listxattr or getxattr with a buffer and its
// size), sizing buf first: false, with errno set, when it fails.
template <class getter> static bool sized(std::string *buf, getter get)
{
    for (int tries = 0; tries < 4; tries++) {
        ssize_t n = get(nullptr, 0);
        if (n <= 0) {
            buf->clear();
            return n == 0;
        }
        buf->resize(size_t(n));
        n = get(buf->data(), buf->size());
        if (n >= 0) {
            buf->resize(size_t(n));
            return true;
        }
        if (errno != ERANGE)    // ERANGE: it grew in between
            return false;
    }
    return false;
}
#endif

// The extended attributes of the file at path that a write in place keeps,
// its access ACL among them: false when one can't be read (a user attribute
// of a file we may write but not read).
static bool readattrs([[maybe_unused]] const std::string &path, [[maybe_unused]] attrlist *attrs)
{
#ifdef HAVE_XATTR
    const char *p = path.c_str();
    std::string names;
    if (!sized(&names, [p](char *b, size_t n) { return listxattr(p, b, n); }))
        return errno == ENOTSUP;    // a file system without them
    for (size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
        std::string name = &names[at], value;
        if (name == "security.capability")
            continue;               // a write drops it: fopen would not keep it
        if (!sized(&value, [p, &name](char *b, size_t n) { return getxattr(p, name.c_str(), b, n); })) {
            if (errno == ENODATA)
                continue;           // gone since it was listed
            return false;
        }
        attrs->emplace_back(name, value);
    }
#endif
    return true;
}

// Gives the temporary fd what the file st it replaces keeps when written in
// place: its owner and group, its mode, its extended attributes. False when
// one can't be set.
static bool keepattrs(int fd, const struct stat &st, [[maybe_unused]] const attrlist &attrs)
{
    if (fchown(fd, st.st_uid, st.st_gid) != 0)
        return false;
#ifdef HAVE_XATTR
    // an ACL inherited from the directory's default one is not the file's
    const char *acl = "system.posix_acl_access";
    bool hasacl = std::any_of(attrs.begin(), attrs.end(), [acl](const auto &a) { return a.first == acl; });
    if (!hasacl && fremovexattr(fd, acl) != 0 && errno != ENODATA && errno != ENOTSUP)
        return false;
#endif
    // a write by a user without the right to keep them drops set-user-ID,
    // and set-group-ID where it marks an executable
    mode_t mode = st.st_mode & 07777;
    if (geteuid() != 0)
        mode &= (mode & S_IXGRP) ? ~mode_t(S_ISUID | S_ISGID) : ~mode_t(S_ISUID);
    fchmod(fd, mode);
#ifdef HAVE_XATTR
    std::string now;
    for (const auto &a : attrs) {
        // one the new file has already, as a security label the system gives it, is left be
        const char *name = a.first.c_str();
        if (sized(&now, [fd, name](char *b, size_t n) { return fgetxattr(fd, name, b, n); }) && now == a.second)
            continue;
        if (fsetxattr(fd, name, a.second.data(), a.second.size(), 0) != 0)
            return false;
    }
#endif
    return true;
}

enum place { temporary, inplacetoo, refused };

// Where the output for path goes, decided before anything is made: a
// temporary renamed over the file at the end of path's links, or in place,
// as fopen would write; refused, with errno set, for a file we may not
// write. Sets real to that file's name, dir to its directory, and st,
// there and attrs for a file already there.
static place where(const std::string &path, std::string *real, std::string *dir, bool *there, struct stat *st,
                   attrlist *attrs)
{
    int got = lstat(path.c_str(), st);
    bool link = got == 0 && S_ISLNK(st->st_mode);
    if (link)
        got = stat(path.c_str(), st);
    *there = got == 0;
    *real = link ? follow(path) : path;
    size_t slash = real->rfind('/');
    *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : real->substr(0, slash);
    if (!*there && errno != ENOENT)
        return inplacetoo;      // fails as fopen would
    if (*there && !S_ISREG(st->st_mode))
        return inplacetoo;      // devices, FIFOs; a directory fails
    if (real->empty() || real->back() == '/' || faccessat(AT_FDCWD, dir->c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return inplacetoo;      // a directory we can't add to: what fopen does happens
    if (!*there)
        return temporary;
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
        return refused;         // a file we may not write stays as it is
    // only in place does the file stay the one its other names and holders
    // see (a link through /proc names no file to put beside), keep an owner
    // or group we can't give (another user's, one whose group we are not
    // in), and stay under a name mounted on it
    struct stat rst;
    uid_t me = geteuid();
    if (st->st_nlink > 1 ||
        (link && (lstat(real->c_str(), &rst) != 0 || rst.st_ino != st->st_ino || rst.st_dev != st->st_dev)) ||
        (me != 0 && (st->st_uid != me || !ingroup(st->st_gid))) || mountedon(*real, *st, *dir))
        return inplacetoo;
    // and what can't be copied: an attribute we can't read, or one of the
    // system's own namespaces no user may set
    if (!readattrs(*real, attrs))
        return inplacetoo;
    for (const auto &a : *attrs)
        if (me != 0 && a.first.compare(0, 8, "trusted.") == 0)
            return inplacetoo;
    return temporary;
}

outfilep outopen(const std::string &path, bool durable)
{
    outfilep o(new outfile{-1, 0, durable, false, 0, -1, false, -1, "", ""}, outdrop);
    takebuffer(o.get());
    std::string real, dir;
    bool there;
    struct stat st;
    attrlist attrs;
    place p = where(path, &real, &dir, &there, &st, &attrs);
    o->name = real.substr(real.rfind('/') + 1);  // npos + 1 is 0: a bare name
    switch (p) {
    case refused:
        return none(std::move(o));
    case inplacetoo:
        return inplace(std::move(o), path);
    case temporary:
        break;
    }
    if (!opendirectory(o.get(), dir))
        return none(std::move(o));
    o->replaces = there;
    static long pid = getpid();
    static unsigned serial;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; tries++) {
        // short, whatever the target's length, so that any name can be
        // replaced; live before it exists, so that no signal comes between
        livedir = -1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        snprintf(livename, sizeof livename, ".%.16s-%ld-%u.tmp", programname(), pid, serial++);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        livedir = o->dir;
        fd = openat(o->dir, livename, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, there ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        livedir = -1;
        return none(std::move(o));
    }
    o->tmp = livename;
    if (there && !keepattrs(fd, st, attrs)) {
        // a security label or the like that only trying tells: in place, keeping it
        close(fd);
        unlinkat(o->dir, o->tmp.c_str(), 0);
        o->tmp.clear();
        livedir = -1;
        close(o->dir);
        return inplace(std::move(o), path);
    }
    return opened(std::move(o), fd);
}

// A durable output's bytes, and those that replace a file, go to the disk
// as they are written, every MiB, so that the sync before the rename has
// little left to wait for.
void writeback(outfile *o, uint64_t n)
{
    o->unsynced += n;
    if (!(o->durable || o->replaces) || o->unsynced < (1 << 20))
        return;
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(o->fd, 0, 0, SYNC_FILE_RANGE_WRITE);    // a hint: failures show at the sync
#endif
    o->unsynced = 0;
}

int64_t outcopy(outfile *o, int fd, uint64_t len)
{
    uint64_t done = 0;
    flush(o);
    if (o->err)
        return 0;
#ifdef HAVE_COPY_FILE_RANGE
    while (done < len) {
        ssize_t k = copy_file_range(fd, nullptr, o->fd, nullptr, std::min<uint64_t>(len - done, 1 << 30), 0);
        if (k > 0) {
            done += uint64_t(k);
            writeback(o, uint64_t(k));
            continue;
        }
        if (k == 0)
            return int64_t(done);       // fd has ended
        if (errno == EINTR)
            continue;
        // pipes, devices, file systems or kernels that can't, and failures
        // that don't say which side failed: the rest by hand, where a read
        // and a write fail apart
        break;
    }
#endif
    return copyrest(o, fd, len, done);
}

// Syncs the whole file system that fd is on. Where that can't be asked
// for, sync: some systems then return before the disk's work is done.
static int syncfilesystem([[maybe_unused]] int fd)
{
#ifdef HAVE_SYNCFS
    return syncfs(fd) == 0 ? 0 : errno;
#else
    sync();
    return 0;
#endif
}

// Syncs an output's bytes: 0 or an errno value. Devices and FIFOs have
// nothing to sync.
static int syncfile(int fd)
{
    if (fsync(fd) == 0)
        return 0;
    int err = errno;
    struct stat st;
    return err == EINVAL && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode) ? 0 : err;
}

// Syncs the new name of a renamed output: its directory, or where that
// can't be opened for it (mode 0333) or synced, its whole file system.
static int syncname(const outfile *o)
{
    if (!o->dirsync)
        return syncfilesystem(o->keep);
    if (fsync(o->dir) == 0)
        return 0;
    return errno == EINVAL ? syncfilesystem(o->dir) : errno;   // EINVAL: no syncs of directories here
}

// For outsync: a descriptor on each file system written to since, and its device.
static std::vector<std::pair<dev_t, int>> pending;

// Notes the file system of an output to be synced by outsync: 0 or an errno value.
static int remember(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return 0;
    for (const auto &p : pending)
        if (p.first == st.st_dev)
            return 0;
    int keep = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (keep < 0)
        return errno;
    pending.emplace_back(st.st_dev, keep);
    return 0;
}

// Syncs every file system written to since, then renames each waiting
// temporary over its file: 0, or the errno value of the first failure. When
// the sync fails, no file is replaced.
static int renamewaiting()
{
    int n = waitcount, err = 0;
    if (n == 0)
        return 0;
    for (const auto &[dev, fd] : pending)
        if (int e = syncfilesystem(fd); e && !err)
            err = e;
    bool synced = err == 0;
    for (int i = 0; i < n; i++) {
        waiting &w = batch[i];
        if (!synced || renameat(w.dir, w.tmp, w.dir, w.name) != 0) {
            err = err ? err : errno;
            unlinkat(w.dir, w.tmp, 0);
        }
    }
    waitcount = 0;
    for (int i = 0; i < n; i++)
        if (batch[i].owner)
            close(batch[i].dir);
    return err;
}

// Hands a complete temporary over to the batch, which renames it once its
// data is synced: 0, or the errno value of a failed batch.
static int await(outfile *o)
{
    struct stat ds;
    if (fstat(o->dir, &ds) != 0)
        return errno;
    waiting &w = batch[int(waitcount)];
    w = {o->dir, true, ds.st_dev, ds.st_ino, {}, {}};
    for (int i = 0; i < waitcount; i++)
        if (batch[i].dev == ds.st_dev && batch[i].ino == ds.st_ino) {
            w.owner = false;
            w.dir = batch[i].dir;
            close(o->dir);
            break;
        }
    snprintf(w.tmp, sizeof w.tmp, "%s", o->tmp.c_str());
    snprintf(w.name, sizeof w.name, "%s", o->name.c_str());
    std::atomic_signal_fence(std::memory_order_seq_cst);
    waitcount = waitcount + 1;
    o->dir = -1;            // the batch's now, as is the temporary
    o->tmp.clear();
    livedir = -1;
    return waitcount == batchmax ? renamewaiting() : 0;
}

int outcommit(outfilep o)
{
    flush(o.get());
    int err = o->err;
    if (!err)
        err = o->durable ? syncfile(o->fd) : remember(o->fd);
    if (!err && o->durable && o->dir >= 0 && !o->dirsync && (o->keep = fcntl(o->fd, F_DUPFD_CLOEXEC, 0)) < 0)
        err = errno;
    int fd = o->fd;
    o->fd = -1;
    if (close(fd) != 0 && !err)
        err = errno;
    if (err || o->dir < 0)
        return err;
    if (!o->durable && o->replaces && o->name.size() <= NAME_MAX)
        return await(o.get());
    if (renameat(o->dir, o->tmp.c_str(), o->dir, o->name.c_str()) != 0)
        return errno;
    o->tmp.clear();
    return o->durable ? syncname(o.get()) : 0;
}

int outsync()
{
    int err = renamewaiting();
    for (const auto &[dev, fd] : pending) {
        if (int e = syncfilesystem(fd); e && !err)
            err = e;
        close(fd);
    }
    pending.clear();
    return err;
}
