#include "openfiles.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

void closeall(std::vector<int> *fds)
{
    for (int fd : *fds)
        if (fd >= 0)
            close(fd);
}

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
