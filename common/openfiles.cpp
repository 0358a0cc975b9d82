#include "openfiles.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include "platform.h"
#else
#include <sys/resource.h>
#endif

void closeall(std::vector<int> *fds)
{
    for (int fd : *fds)
        if (fd >= 0)
            close(fd);
}

#ifndef _WIN32

size_t allowopen(size_t n)
{
    const rlim_t spare = 64;    // for the outputs, the libraries and stdio
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < n + spare && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? n + spare : std::min<rlim_t>(rl.rlim_max, n + spare);
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur == RLIM_INFINITY ? n : rl.rlim_cur > spare ? std::min<size_t>(n, rl.rlim_cur - spare) : 0;
}

int openread(const char *path, struct stat *st)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

#else

// The C runtime's descriptors are a fixed table of 2048, stdio's among them.
size_t allowopen(size_t n) { return std::min<size_t>(n, 2048 - 64); }

// Through the wide-character call, as the path is UTF-8, and shared as a
// POSIX open is: others may still rename or remove the file. A directory
// opens too, as it does elsewhere, for the caller to refuse.
int openread(const char *path, struct stat *st)
{
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = winerrno(GetLastError());
        return -1;
    }
    int fd = _open_osfhandle(intptr_t(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (fstat(fd, st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        st->st_mode = S_IFDIR | 0555;
    return fd;
}

#endif
