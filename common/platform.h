// The few calls that differ between the systems the programs build on, each
// behind one small function. The output layer is the larger part of that
// seam (outfile.cpp, outfile_win.cpp); openfiles.cpp holds the open-files
// limit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads up to n bytes of fd at off, leaving its offset be: how many, 0 at
// the end, or -1 with errno set.
int64_t readat(int fd, void *p, size_t n, uint64_t off);

// Appends to names those of the entries of dir, . and .. among them, in no
// order: 0, or -1 with errno set when dir can't be opened or read to its
// end (the names read before a failure are appended).
int listnames(const char *dir, std::vector<std::string> *names);

// Standard output and error as bytes, with no line ends rewritten.
void rawstdio();

// fopen(path, "rb"), but a directory opens as on POSIX systems or fails
// with EISDIR, never with Windows' EACCES.
FILE *openinput(const char *path);

// unlink(path), failing with EISDIR for a directory as on Linux.
int removename(const char *path);

#ifdef _WIN32
// A UTF-8 path as the system's wide-character calls take it.
std::wstring widen(const std::string &s);
// The errno value that says what a Windows error code says.
int winerrno(unsigned long code);
#endif
