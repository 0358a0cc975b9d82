#include "platform.h"

#include <cerrno>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <unistd.h>
#include <windows.h>
#else
#include <dirent.h>
#include <memory>
#include <unistd.h>
#endif

#ifndef _WIN32

int64_t readat(int fd, void *p, size_t n, uint64_t off) { return pread(fd, p, n, off_t(off)); }

int listnames(const char *dir, std::vector<std::string> *names)
{
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir), closedir);
    if (!d)
        return -1;
    // a null entry with errno set is a failed read, not the end
    for (errno = 0; dirent *e = readdir(d.get()); errno = 0)
        names->push_back(e->d_name);
    if (errno == 0)
        return 0;
    int err = errno;
    d.reset();  // closedir may set errno too
    errno = err;
    return -1;
}

void rawstdio() {}

FILE *openinput(const char *path) { return fopen(path, "rb"); }

int removename(const char *path) { return unlink(path); }

#else

std::wstring widen(const std::string &s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

int winerrno(unsigned long code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    default:
        return EIO;
    }
}

// A read at an offset moves a Windows file's offset too: it is put back.
int64_t readat(int fd, void *p, size_t n, uint64_t off)
{
    int64_t at = _lseeki64(fd, 0, SEEK_CUR);
    if (at < 0 || _lseeki64(fd, int64_t(off), SEEK_SET) < 0)
        return -1;
    int k = read(fd, p, unsigned(n < (1u << 30) ? n : 1u << 30));
    int err = errno;
    _lseeki64(fd, at, SEEK_SET);
    errno = err;
    return k;
}

static bool isdirectory(const std::string &path)
{
    DWORD a = GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Through the wide-character calls, which take paths past 260 characters.
// A file scanned as a directory is not found there, but ENOTDIR elsewhere.
int listnames(const char *dir, std::vector<std::string> *names)
{
    std::string d = dir;
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW(widen(d + (d.empty() || d.back() == '/' || d.back() == '\\' ? "*" : "\\*")).c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) {
        errno = winerrno(GetLastError());
        if (errno == ENOENT && GetFileAttributesW(widen(d).c_str()) != INVALID_FILE_ATTRIBUTES && !isdirectory(d))
            errno = ENOTDIR;
        return -1;
    }
    do {
        int n = WideCharToMultiByte(CP_UTF8, 0, e.cFileName, -1, nullptr, 0, nullptr, nullptr);
        std::string name(size_t(n > 0 ? n : 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, e.cFileName, -1, name.data(), n, nullptr, nullptr);
        name.resize(name.size() - 1);
        names->push_back(name);
    } while (FindNextFileW(h, &e));
    DWORD last = GetLastError();
    FindClose(h);
    if (last == ERROR_NO_MORE_FILES)
        return 0;
    errno = winerrno(last);
    return -1;
}

FILE *openinput(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f && errno == EACCES && isdirectory(path))
        errno = EISDIR;
    return f;
}

int removename(const char *path)
{
    int r = unlink(path);
    if (r != 0 && errno == EACCES && isdirectory(path))
        errno = EISDIR;
    return r;
}

// The C runtime would write each "\n" as "\r\n".
void rawstdio()
{
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
}

#endif
