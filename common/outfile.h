// Output files. Each goes where fopen(path, "wb") would write, but a
// regular file is written to a temporary beside it and renamed over the
// name only once complete, so no partial file ever shows under the name.
// The replacement keeps what fopen would: the mode, the owner and group
// where we may set them, the extended attributes and the ACL. Written in
// place, as fopen would, are devices and FIFOs, files with other hard
// links, files in directories we may not write or over which the rename
// would be refused (another user's, in a sticky directory), and files with
// an attribute the replacement can't be given.
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

// Appends n bytes; a failure is kept for outcommit to return.
void outwrite(outfile *o, const void *p, size_t n);

// The stream the bytes go to, for writers of their own; outcommit flushes it.
FILE *outstream(outfile *o);

// The first write failure seen, as an errno value; 0 while there is none.
int outerror(const outfile *o);

// Appends up to len bytes read from fd at its offset, copied by the kernel
// where it can (sharing extents where the file system does), else through
// a buffer. Returns how many: fewer only when fd ends first or a write
// fails, which is kept for outcommit to return; an error reading fd is
// returned as -1 with errno set.
int64_t outcopy(outfile *o, int fd, uint64_t len);

// Flushes and puts the file in place: 0, or the errno value of the first
// failure, in which case the temporary is gone and the name untouched. A
// durable output's new name is synced too, through its directory or, where
// that can't be read, its file system; a failure there is returned though
// the name already holds the new file.
int outcommit(outfilep o);

// Puts on disk every output committed since the last call that was not
// durable on its own, with one sync of each file system they went to: 0, or
// the errno value of the first failure. Cheaper than syncing each file.
int outsync();

// Writes n bytes to path as above: 0 or an errno value.
int savefile(const std::string &path, const void *data, size_t n, bool durable = false);

// SIGINT, SIGTERM and SIGHUP remove the temporary being written and end
// the process by the same signal; SIGPIPE and SIGXFSZ are ignored, so a
// closed pipe or a file size limit fails a write like a full disk.
void outsignals();
// SIGPIPE and SIGXFSZ at their defaults (true) or ignored again (false):
// the default while a script runs, whose children inherit what is ignored.
void defaultsignals(bool on);
