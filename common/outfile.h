// Output files. Each goes where fopen(path, "wb") would write, but a
// regular file is written to a temporary beside it and renamed over the
// name only once complete, so no partial file ever shows under the name.
// Devices, FIFOs, files with other hard links and files in directories we
// may not write are written in place, as fopen would.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

struct outfile {
    FILE *f;            // where the bytes go
    int err;            // first write error seen, as an errno value
    bool durable;       // synced before the rename, and its directory after
    uint64_t unsynced;  // bytes written since writeback was last started
    int dir;            // directory of the temporary; -1 when writing in place
    std::string tmp;    // the temporary's name in dir, until renamed
    std::string name;   // the final name in dir
};
void outdrop(outfile *o);   // closes, and removes a temporary not yet renamed
using outfilep = std::unique_ptr<outfile, void (*)(outfile *)>;

// Opens the output for path: null, with errno set, when it can't be.
// Only one output is open at a time. A durable one is on disk before it
// takes the name, and writing it starts the disk's work as it goes.
outfilep outopen(const std::string &path, bool durable = false);

// Appends n bytes; a failure is kept in o->err for outcommit to return.
void outwrite(outfile *o, const void *p, size_t n);

// Appends up to len bytes read from fd at its offset, copied by the kernel
// where it can (sharing extents where the file system does), else through
// a buffer. Returns how many: fewer only when fd ends first or a write
// fails, which is kept in o->err for outcommit to return; an error reading
// fd is returned as -1 with errno set.
int64_t outcopy(outfile *o, int fd, uint64_t len);

// Flushes and puts the file in place: 0, or the errno value of the first
// failure, in which case the temporary is gone and the name untouched.
int outcommit(outfilep o);

// Writes n bytes to path as above: 0 or an errno value.
int savefile(const std::string &path, const void *data, size_t n, bool durable = false);

// SIGINT, SIGTERM and SIGHUP remove the temporary being written and end
// the process by the same signal; SIGPIPE and SIGXFSZ are ignored, so a
// closed pipe or a file size limit fails a write like a full disk.
void outsignals();
