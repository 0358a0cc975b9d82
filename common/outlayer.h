// What the two output layers (outfile.cpp, outfile_win.cpp) share: the
// record of an output and the path its bytes take to the file
// (outwrite.cpp). Each layer makes, replaces and syncs files its own way.
#pragma once
#include "outfile.h"

struct outfile {
    int fd;             // where the bytes go; -1 once closed
    int err;            // first write error seen, as an errno value
    bool durable;       // synced before the rename, and its name after
    bool replaces;      // the temporary goes over a file already there
    uint64_t unsynced;  // bytes written since writeback was last started
    int dir;            // directory of the temporary; -1 when writing in place
    bool dirsync;       // dir was opened for reading, so it can be synced
    int keep;           // the file, open past its close to sync its file system; or -1
    std::string tmp;    // the temporary's name in dir, until renamed
    std::string name;   // the final name in dir
};

// The one output open has the one buffer: taken at its opening, emptied
// when it is dropped.
void takebuffer(outfile *o);
void dropbuffer(outfile *o);

// Writes what is buffered; a failure is kept.
void flush(outfile *o);

// Appends up to len - done bytes read from fd, through the buffer: done
// and what it added, as outcopy returns it.
int64_t copyrest(outfile *o, int fd, uint64_t len, uint64_t done);

// Each layer's: what it does as n more bytes are written.
void writeback(outfile *o, uint64_t n);
