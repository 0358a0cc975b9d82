// The output layer on Windows: the same promises as outfile.cpp's, made
// with the system's own calls. A complete temporary is flushed to the disk
// and moved over the name; what the file system can't give as on POSIX
// systems (owners, modes, extended attributes) is left as the new file has it.
#include "outlayer.h"
#include "platform.h"
#include "report.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <windows.h>

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
        DeleteFileW(widen(o->tmp).c_str());
        haslive = false;
    }
    dropbuffer(o);
    delete o;
}

static outfilep none(outfilep o, int err)
{
    o.reset();
    errno = err;
    return outfilep(nullptr, outdrop);
}

// What fopen does: the file itself, truncated or created.
static outfilep inplace(outfilep o)
{
    int flags = _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT;
    o->fd = _wopen(widen(o->name).c_str(), flags, _S_IREAD | _S_IWRITE);
    return o->fd >= 0 ? std::move(o) : none(std::move(o), errno);
}

enum place { temporary, inplacetoo, refused };

// Where the output for path goes: a temporary moved over the name, or in
// place for what a move would not keep the same (devices, files with other
// hard links, links, read-only files, which then fail as fopen fails);
// refused with errno set for a directory.
static place where(const std::string &path, bool *there)
{
    *there = false;
    HANDLE h = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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
    // here tmp and name are whole paths, and the directory is not kept open
    outfilep o(new outfile{-1, 0, durable, false, 0, -1, false, -1, "", path}, outdrop);
    takebuffer(o.get());
    bool there;
    switch (where(o->name, &there)) {
    case refused:
        return none(std::move(o), errno);
    case inplacetoo:
        return inplace(std::move(o));
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
        o->tmp = dir + name;
        setlive(widen(o->tmp));
        h = CreateFileW(widen(o->tmp).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        fail = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (fail && fail != ERROR_FILE_EXISTS && fail != ERROR_ALREADY_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        o->tmp.clear();
        haslive = false;
        // a folder we can't add to: what fopen does happens
        return fail == ERROR_ACCESS_DENIED ? inplace(std::move(o)) : none(std::move(o), winerrno(fail));
    }
    o->fd = _open_osfhandle(intptr_t(h), _O_WRONLY | _O_BINARY);
    if (o->fd < 0) {
        CloseHandle(h);
        return none(std::move(o), EMFILE);
    }
    return o;
}

int64_t outcopy(outfile *o, int fd, uint64_t len)
{
    flush(o);
    return o->err ? 0 : copyrest(o, fd, len, 0);
}

void writeback(outfile *, uint64_t) {}  // the system writes back on its own

// Moves the temporary over the name. Another program holding the old file
// open (a viewer, a virus scanner) blocks the move for a moment: it is
// tried again for about two seconds before the failure counts.
static int move(const outfile *o)
{
    DWORD flags = MOVEFILE_REPLACE_EXISTING | (o->durable ? MOVEFILE_WRITE_THROUGH : 0);
    for (int tries = 0;; tries++) {
        if (MoveFileExW(widen(o->tmp).c_str(), widen(o->name).c_str(), flags))
            return 0;
        DWORD e = GetLastError();
        if (tries == 20 || (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION && e != ERROR_LOCK_VIOLATION))
            return winerrno(e);
        Sleep(100);
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
