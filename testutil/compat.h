// The POSIX calls the tests make. Where they are missing (Windows) each one
// fails with ENOSYS, and a test that needs it skips before the call (lacks()
// in testutil.h); elsewhere these are the system's own headers.
#pragma once
#ifndef _WIN32
#include <dlfcn.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform.h"

#define NOSYS { errno = ENOSYS; return -1; }
using uid_t = unsigned;
using gid_t = unsigned;
using rlim_t = uint64_t;
struct passwd { uid_t pw_uid; gid_t pw_gid; };
struct rlimit { rlim_t rlim_cur, rlim_max; };
struct pollfd { int fd; short events, revents; };
enum { RLIMIT_NOFILE, FIONREAD, F_SETFL, POLLIN = 1, O_NONBLOCK = 0 };
#define RLIM_INFINITY rlim_t(-1)
#define RTLD_NEXT nullptr
#define SIGHUP 1
#define SIGKILL 9
#define S_ISLNK(m) false
#define WIFEXITED(st) false
#define WEXITSTATUS(st) 0
// UTF-8, as the programs take paths, through the wide call
inline int mkdir(const char *path, int) { return _wmkdir(widen(path).c_str()); }
// the system's truncate takes 32 bits
inline int truncate64bits(const char *path, off_t n)
{
    int fd = _open(path, _O_WRONLY);
    int err = fd < 0 ? errno : _chsize_s(fd, n);
    if (fd >= 0)
        _close(fd);
    return err ? (errno = err, -1) : 0;
}
#define truncate(path, n) truncate64bits(path, n)
inline int lstat(const char *path, struct stat *st) { return stat(path, st); }
inline int symlink(const char *, const char *) NOSYS
inline int link(const char *, const char *) NOSYS
inline int mkfifo(const char *, int) NOSYS
inline int mknod(const char *, int, int) NOSYS
#define makedev(major, minor) 0
// owner and group -1 change nothing, as POSIX has it
inline int chown(const char *, uid_t u, gid_t g) { return u == uid_t(-1) && g == gid_t(-1) ? 0 : (errno = ENOSYS, -1); }
inline uid_t geteuid() { return uid_t(-1); }    // never root
inline passwd *getpwnam(const char *) { return nullptr; }
inline passwd *getpwuid(uid_t) { return nullptr; }
inline int setuid(uid_t) NOSYS
inline int setgid(gid_t) NOSYS
inline int fork() NOSYS
inline int pipe(int *) NOSYS
inline int waitpid(pid_t, int *, int) NOSYS
inline int kill(pid_t, int) NOSYS
inline int ioctl(int, int, int *) NOSYS
inline int fcntl(int, int, int) NOSYS
inline int poll(pollfd *, int, int) NOSYS
inline int getrlimit(int, rlimit *) NOSYS
inline int setrlimit(int, const rlimit *) NOSYS
inline void *dlsym(void *, const char *) { return nullptr; }
#undef NOSYS
#endif
