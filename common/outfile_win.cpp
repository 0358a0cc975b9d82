// The output layer on Windows: the same promises as outfile.cpp's, made
// with the system's own calls. A complete temporary is flushed to the disk
// and moved over the name; what the file system can't give as on POSIX
// systems (owners, modes, extended attributes) is left as the new file has it.
#include "outfile.h"
#include "platform.h"
#include "report.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <windows.h>

struct outfile {
    int fd;             // where the bytes go; -1 once closed
    int err;            // first write error seen, as an errno value
    bool durable;       // flushed before the move, and the move written through
    bool replaces;      // the temporary goes over a file already there
    std::wstring tmp;   // the temporary, until moved; empty when writing in place
    std::wstring name;  // the final name
};

static outfile *current;
static std::vector<char> buf;
static size_t buffered;

// The temporary being written, for the console's Ctrl-C handler, which
// runs on a thread of its own: set before the file is made, cleared after
// it is moved or removed.
static wchar_t live[32768];
static std::atomic<bool> haslive;

// Each output committed since the last outsync that was not flushed at
// its commit, held open for outsync to flush.
static std::vector<HANDLE> pending;

static BOOL WINAPI onctrl(DWORD)
{
    if (haslive)
        DeleteFileW(live);  // open here, so gone when the process ends
    return FALSE;           // and the system's handler ends it
}

void outsignals() { SetConsoleCtrlHandler(onctrl, TRUE); }

void defaultsignals(bool) {}   // no broken-pipe or file-size signals to set

static void setlive(const std::wstring &tmp)
{
    haslive = false;
    if (!tmp.empty() && tmp.size() < sizeof live / sizeof live[0]) {
        memcpy(live, tmp.c_str(), (tmp.size() + 1) * sizeof(wchar_t));
        haslive = true;
    }
}

void outdrop(outfile *o)
{
    if (o->fd >= 0)
        close(o->fd);
    if (!o->tmp.empty()) {
        DeleteFileW(o->tmp.c_str());
        haslive = false;
    }
    if (current == o) {
        current = nullptr;
        buffered = 0;
    }
    delete o;
}

static outfilep none(outfilep o, int err)
{
    o.reset();
    errno = err;
    return outfilep(nullptr, outdrop);
}

// What fopen does: the file itself, truncated or created.
static outfilep inplace(outfilep o, const std::wstring &path)
{
    o->fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    return o->fd >= 0 ? std::move(o) : none(std::move(o), errno);
}

enum place { temporary, inplacetoo, refused };

// Where the output for path goes: a temporary moved over the name, or in
// place for what a move would not keep the same (devices, files with other
// hard links, links, read-only files, which then fail as fopen fails);
// refused with errno set for a directory.
static place where(const std::wstring &path, bool *there)
{
    *there = false;
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? temporary : inplacetoo;
    BY_HANDLE_FILE_INFORMATION info;
    bool disk = GetFileType(h) == FILE_TYPE_DISK;
    bool known = disk && GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    *there = true;
    if (!known)
        return inplacetoo;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return refused;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks > 1)
        return inplacetoo;
    return temporary;
}

outfilep outopen(const std::string &path, bool durable)
{
    assert(!current && "one output at a time");
    outfilep o(new outfile{-1, 0, durable, false, L"", widen(path)}, outdrop);
    current = o.get();
    buf.resize(1 << 20);
    bool there;
    switch (where(o->name, &there)) {
    case refused:
        return none(std::move(o), errno);
    case inplacetoo:
        return inplace(std::move(o), o->name);
    case temporary:
        break;
    }
    o->replaces = there;
    // beside the target: after its last separator, or its drive
    size_t cut = path.find_last_of("/\\");
    std::string dir = cut != std::string::npos ? path.substr(0, cut + 1)
                    : path.size() > 1 && path[1] == ':' ? path.substr(0, 2) : "";
    static unsigned long pid = GetCurrentProcessId();
    static unsigned serial;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD fail = 0;
    for (int tries = 0; h == INVALID_HANDLE_VALUE && tries < 100; tries++) {
        char name[64];
        snprintf(name, sizeof name, ".%.16s-%lu-%u.tmp", programname(), pid, serial++);
        o->tmp = widen(dir + name);
        setlive(o->tmp);
        h = CreateFileW(o->tmp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        fail = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (fail && fail != ERROR_FILE_EXISTS && fail != ERROR_ALREADY_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        o->tmp.clear();
        haslive = false;
        // a folder we can't add to: what fopen does happens
        return fail == ERROR_ACCESS_DENIED ? inplace(std::move(o), o->name) : none(std::move(o), winerrno(fail));
    }
    o->fd = _open_osfhandle(intptr_t(h), _O_WRONLY | _O_BINARY);
    if (o->fd < 0) {
        CloseHandle(h);
        return none(std::move(o), EMFILE);
    }
    return o;
}

static void put(outfile *o, const char *p, size_t n)
{
    while (n > 0 && !o->err) {
        int k = write(o->fd, p, unsigned(std::min<size_t>(n, 1 << 30)));
        if (k <= 0) {
            o->err = k < 0 ? errno : EIO;
            break;
        }
        p += k;
        n -= size_t(k);
    }
}

static void flush(outfile *o)
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

int64_t outcopy(outfile *o, int fd, uint64_t len)
{
    uint64_t done = 0;
    flush(o);
    while (done < len && !o->err) {
        int k = read(fd, buf.data(), unsigned(std::min<uint64_t>(len - done, buf.size())));
        if (k < 0)
            return -1;
        if (k == 0)
            break;
        put(o, buf.data(), size_t(k));
        done += uint64_t(k);
    }
    return int64_t(done);
}

// Moves the temporary over the name. Another program holding the old file
// open (a viewer, a virus scanner) blocks the move for a moment: it is
// tried again for about two seconds before the failure counts.
static int move(const outfile *o)
{
    DWORD flags = MOVEFILE_REPLACE_EXISTING | (o->durable ? MOVEFILE_WRITE_THROUGH : 0);
    for (int tries = 0;; tries++) {
        if (MoveFileExW(o->tmp.c_str(), o->name.c_str(), flags))
            return 0;
        DWORD e = GetLastError();
        if (tries == 7 || (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION && e != ERROR_LOCK_VIOLATION))
            return winerrno(e);
        Sleep(50 << (tries / 2));
    }
}

int outcommit(outfilep o)
{
    flush(o.get());
    int err = o->err;
    HANDLE h = HANDLE(_get_osfhandle(o->fd));
    // a replacement's data is on disk before it takes the name, so that a
    // crash leaves the name its old file or its new one
    if (!err && (o->durable || o->replaces) && GetFileType(h) == FILE_TYPE_DISK && !FlushFileBuffers(h))
        err = winerrno(GetLastError());
    HANDLE keep;
    if (!err && !o->durable && !o->replaces && GetFileType(h) == FILE_TYPE_DISK) {
        if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &keep, 0, FALSE, DUPLICATE_SAME_ACCESS))
            err = winerrno(GetLastError());
        else
            pending.push_back(keep);
    }
    int fd = o->fd;
    o->fd = -1;
    if (close(fd) != 0 && !err)
        err = errno;
    if (err || o->tmp.empty())
        return err;
    err = move(o.get());
    if (err == 0) {
        o->tmp.clear();
        haslive = false;
    }
    return err;
}

int outsync()
{
    int err = 0;
    for (HANDLE h : pending) {
        if (!FlushFileBuffers(h) && !err)
            err = winerrno(GetLastError());
        CloseHandle(h);
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
