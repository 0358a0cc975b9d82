#include "outfile.h"
#include "report.h"

#include <algorithm>
#include <atomic>
#include <cassert>
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

struct outfile {
    FILE *f;            // where the bytes go
    int err;            // first write error seen, as an errno value
    bool durable;       // synced before the rename, and its name after
    uint64_t unsynced;  // bytes written since writeback was last started
    int dir;            // directory of the temporary; -1 when writing in place
    bool dirsync;       // dir was opened for reading, so it can be synced
    int keep;           // the file, open past its close to sync its file system; or -1
    std::string tmp;    // the temporary's name in dir, until renamed
    std::string name;   // the final name in dir
};

// The one output open: the signal handler knows a single temporary.
static outfile *current;

// The temporary being written, for the signal handler: its name is set
// before its directory, and the directory cleared before it is closed.
static volatile sig_atomic_t livedir = -1;
static char livename[64];

static void onsignal(int sig)
{
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
    if (o->f)
        fclose(o->f);
    if (o->keep >= 0)
        close(o->keep);
    if (o->dir >= 0) {
        if (!o->tmp.empty())
            unlinkat(o->dir, o->tmp.c_str(), 0);
        livedir = -1;
        close(o->dir);
    }
    if (current == o)
        current = nullptr;
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
    if (fd >= 0 && !(o->f = fdopen(fd, "wb"))) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return o->f ? std::move(o) : none(std::move(o));
}

// What fopen does: the file itself, truncated or created.
static outfilep inplace(outfilep o, const std::string &path)
{
    return opened(std::move(o), open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

// Gives up the temporary made, if any, and the directory, to write in place.
static outfilep inplaceinstead(outfilep o, int fd, const std::string &path)
{
    if (fd >= 0)
        close(fd);
    if (!o->tmp.empty())
        unlinkat(o->dir, o->tmp.c_str(), 0);
    o->tmp.clear();
    livedir = -1;
    close(o->dir);
    o->dir = -1;
    return inplace(std::move(o), path);
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

// Whether renaming over the file st in dir would be refused though the file
// may be written: another user's file in a sticky directory not ours either,
// when we can't override owners (as root can).
static bool renamerefused(int dir, const struct stat &st)
{
    struct stat ds;
    uid_t me = geteuid();
    return me != 0 && st.st_uid != me && fstat(dir, &ds) == 0 && (ds.st_mode & S_ISVTX) && ds.st_uid != me;
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
// place: its owner and group where we may set them, its mode and its
// extended attributes. False when an attribute can't be set.
static bool keepattrs(int fd, const struct stat &st, [[maybe_unused]] const attrlist &attrs)
{
    (void)!fchown(fd, st.st_uid, st.st_gid);
#ifdef HAVE_XATTR
    // an ACL inherited from the directory's default one is not the file's
    const char *acl = "system.posix_acl_access";
    bool hasacl = std::any_of(attrs.begin(), attrs.end(), [acl](const auto &a) { return a.first == acl; });
    if (!hasacl && fremovexattr(fd, acl) != 0 && errno != ENODATA && errno != ENOTSUP)
        return false;
#endif
    fchmod(fd, st.st_mode & 07777);
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

outfilep outopen(const std::string &path, bool durable)
{
    assert(!current && "one output at a time");
    outfilep o(new outfile{nullptr, 0, durable, 0, -1, false, -1, "", ""}, outdrop);
    current = o.get();
    struct stat st;
    bool there = lstat(path.c_str(), &st) == 0;
    std::string real = path;
    if (there && S_ISLNK(st.st_mode)) {
        there = stat(path.c_str(), &st) == 0;
        real = follow(path);
    }
    if (!there && errno != ENOENT)
        return inplace(std::move(o), path);     // fails as fopen would
    if (there && !S_ISREG(st.st_mode))
        return inplace(std::move(o), path);     // devices, FIFOs; a directory fails

    size_t slash = real.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : real.substr(0, slash);
    o->name = real.substr(slash + 1);           // npos + 1 is 0: a bare name
    struct stat rst;
    attrlist attrs;
    if (there) {
        if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            return none(std::move(o));          // a file we may not write stays as it is
        // other names of the same file, or a name that isn't the file (a
        // link through /proc): only in place does the file stay the one its
        // other names and holders see; and what can't be copied stays there too
        if (st.st_nlink > 1 ||
            (real != path && (lstat(real.c_str(), &rst) != 0 || rst.st_ino != st.st_ino ||
                              rst.st_dev != st.st_dev)) ||
            !readattrs(real, &attrs))
            return inplace(std::move(o), path);
    }
    if (o->name.empty())
        return inplace(std::move(o), path);

    // a directory we may not read and can't open for lookups alone: in place,
    // where what fopen does happens (a failure too, when we may not search it)
    if (!opendirectory(o.get(), dir))
        return errno == EACCES ? inplace(std::move(o), path) : none(std::move(o));
    if (there && renamerefused(o->dir, st))
        return inplaceinstead(std::move(o), -1, path);
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
        // a file we may write in a directory we can't add to: in place, as fopen would
        if (there && (errno == EACCES || errno == EPERM))
            return inplaceinstead(std::move(o), -1, path);
        return none(std::move(o));
    }
    o->tmp = livename;
    if (there && !keepattrs(fd, st, attrs))
        return inplaceinstead(std::move(o), fd, path);
    return opened(std::move(o), fd);
}

// A durable output's bytes go to the disk as they are written, every MiB,
// so that the sync before the rename has little left to wait for.
static void writeback(outfile *o, uint64_t n)
{
    o->unsynced += n;
    if (!o->durable || o->unsynced < (1 << 20) || fflush(o->f) != 0)
        return;
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(fileno(o->f), 0, 0, SYNC_FILE_RANGE_WRITE);    // a hint: failures show at the sync
#endif
    o->unsynced = 0;
}

void outwrite(outfile *o, const void *p, size_t n)
{
    if (!o->err && fwrite(p, 1, n, o->f) != n)
        o->err = errno ? errno : EIO;
    writeback(o, n);
}

FILE *outstream(outfile *o) { return o->f; }

int outerror(const outfile *o) { return o->err; }

int64_t outcopy(outfile *o, int fd, uint64_t len)
{
    uint64_t done = 0;
    if (o->err || fflush(o->f) != 0) {
        o->err = o->err ? o->err : errno ? errno : EIO;
        return 0;
    }
#ifdef HAVE_COPY_FILE_RANGE
    while (done < len) {
        ssize_t k = copy_file_range(fd, nullptr, fileno(o->f), nullptr, std::min<uint64_t>(len - done, 1 << 30), 0);
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
    static std::vector<char> buf(1 << 20);
    while (done < len && !o->err) {
        ssize_t k = read(fd, buf.data(), std::min<uint64_t>(len - done, buf.size()));
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            return -1;
        if (k == 0)
            break;
        outwrite(o, buf.data(), size_t(k));
        done += uint64_t(k);
    }
    return int64_t(done);
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

int outcommit(outfilep o)
{
    int fd = fileno(o->f);
    int err = o->err;
    if ((fflush(o->f) != 0 || ferror(o->f)) && !err)
        err = errno ? errno : EIO;
    if (!err)
        err = o->durable ? syncfile(fd) : remember(fd);
    if (!err && o->durable && o->dir >= 0 && !o->dirsync && (o->keep = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
        err = errno;
    FILE *f = o->f;
    o->f = nullptr;
    if (fclose(f) != 0 && !err)
        err = errno;
    if (err || o->dir < 0)
        return err;
    if (renameat(o->dir, o->tmp.c_str(), o->dir, o->name.c_str()) != 0)
        return errno;
    o->tmp.clear();
    return o->durable ? syncname(o.get()) : 0;
}

int outsync()
{
    int err = 0;
    for (const auto &[dev, fd] : pending) {
        if (int e = syncfilesystem(fd); e && !err)
            err = e;
        close(fd);
    }
    pending.clear();
    return err;
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
