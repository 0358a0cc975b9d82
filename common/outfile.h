// Output files. Each goes where fopen(path, "wb") would write, but a
// regular file is written to a temporary beside it and renamed over the
// name only once complete, so no partial file ever shows under the name.
// The replacement keeps what fopen would: the mode (less the set-ID bits a
// write drops), the owner and group, the extended attributes and the ACL.
// Written in place, as fopen would, are devices and FIFOs, files with other
// hard links, files in directories we may not write, files whose owner or
// group the replacement can't be given (another user's, or one of a group
// we are not in), files mounted on their name, and files with an attribute
// the replacement can't be given. Whether a file is written in place is
// decided before anything is made. On Windows (outfile_win.cpp) the
// replacement is a new file with the folder's defaults, and devices, links,
// files with other hard links and read-only files are written in place.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct outfile;
void outdrop(outfile *o);   // closes, and removes a temporary not yet renamed
using outfilep = std::unique_ptr<outfile, void (*)(outfile *)>;

// Opens the output for path: null, with errno set, when it can't be.
// A durable one is on disk before it takes the name, and writing it starts
// the disk's work as it goes. One output is open at a time: opening another
// before it is committed or dropped is a fault that debug builds stop at.
outfilep outopen(const std::string &path, bool durable = false);

// Whether the output is written in place: the file it replaces is gone.
bool outinplace(const outfile *o);

// Appends n bytes; a failure is kept for outcommit to return.
void outwrite(outfile *o, const void *p, size_t n);

// The first write failure seen, as an errno value; 0 while there is none.
int outerror(const outfile *o);

// Appends up to len bytes read from fd at its offset, copied by the kernel
// where it can (sharing extents where the file system does), else through
// a buffer. Returns how many: fewer only when fd ends first or a write
// fails, which is kept for outcommit to return; an error reading fd is
// returned as -1 with errno set.
int64_t outcopy(outfile *o, int fd, uint64_t len);

// Writes what is buffered and puts the file in place: 0, or the errno
// value of the first failure, in which case the temporary is gone and the
// name untouched. A durable output's new name is synced too, through its
// directory or, where that can't be read, its file system; a failure there
// is returned though the name already holds the new file. An output that
// is not durable and replaces a file waits, complete, until a sync of its
// data: up to 256 of them are renamed after one sync (a failure of that
// sync is returned by the commit that filled the batch, or by outsync), so
// that a crash leaves every name its old file or its new one.
int outcommit(outfilep o);

// Syncs and renames the outputs waiting, then puts on disk every output
// committed since the last call that was not durable on its own, with one
// sync of each file system they went to: 0, or the errno value of the first
// failure. Cheaper than syncing each file.
int outsync();

// Writes n bytes to path as above: 0 or an errno value.
int savefile(const std::string &path, const void *data, size_t n, bool durable = false);

// SIGINT, SIGTERM and SIGHUP remove the temporaries not yet renamed (the
// one being written and those waiting: their names keep the old files) and
// end the process by the same signal; SIGPIPE and SIGXFSZ are ignored, so a
// closed pipe or a file size limit fails a write like a full disk.
void outsignals();
// SIGPIPE and SIGXFSZ at their defaults (true) or ignored again (false):
// the default while a script runs, whose children inherit what is ignored.
void defaultsignals(bool on);
