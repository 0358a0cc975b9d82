#include "outfile.h"
#include "report.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct outfile {
    FILE *f;            // where the bytes go
    int err;            // first write error seen, as an errno value
    bool durable;       // synced before the rename, and its directory after
    uint64_t unsynced;  // bytes written since writeback was last started
    int dir;            // directory of the temporary; -1 when writing in place
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

void outdrop(outfile *o)
{
    if (o->f)
        fclose(o->f);
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

outfilep outopen(const std::string &path, bool durable)
{
    assert(!current && "one output at a time");
    outfilep o(new outfile{nullptr, 0, durable, 0, -1, "", ""}, outdrop);
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
    if (there) {
        if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            return none(std::move(o));          // a file we may not write stays as it is
        // other names of the same file, or a name that isn't the file (a
        // link through /proc): only in place does the file stay the one its
        // other names and holders see
        if (st.st_nlink > 1 ||
            (real != path && (lstat(real.c_str(), &rst) != 0 || rst.st_ino != st.st_ino ||
                              rst.st_dev != st.st_dev)))
            return inplace(std::move(o), path);
    }
    if (o->name.empty())
        return inplace(std::move(o), path);

    o->dir = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (o->dir < 0 && errno == EACCES)          // writable but not readable: no sync, still a rename
        o->dir = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (o->dir < 0)
        return none(std::move(o));
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
        if (there && (errno == EACCES || errno == EPERM)) {
            close(o->dir);
            o->dir = -1;
            return inplace(std::move(o), path);
        }
        return none(std::move(o));
    }
    o->tmp = livename;
    if (there) {
        // the replacement keeps the file's owner where we may set it, and its mode
        (void)!fchown(fd, st.st_uid, st.st_gid);
        fchmod(fd, st.st_mode & 07777);
    }
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
        // pipes, devices, file systems or kernels that can't: copy by hand
        if (errno == EINVAL || errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)
            break;
        o->err = errno;                 // the write side failed: ENOSPC, EFBIG, EIO
        return int64_t(done);
    }
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

int outcommit(outfilep o)
{
    bool durable = o->durable;
    int err = o->err;
    if ((fflush(o->f) != 0 || ferror(o->f)) && !err)
        err = errno ? errno : EIO;
    // devices and FIFOs have nothing to sync
    if (!err && durable && fsync(fileno(o->f)) != 0 && errno != EINVAL)
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
    // a directory opened only as a path can't be synced
    if (durable && fsync(o->dir) != 0 && errno != EINVAL && errno != EBADF)
        return errno;
    return 0;
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
