// Output files appear whole or not at all: they are written to a hidden
// temporary file beside the target and renamed over it once complete.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

struct tempfile {
    FILE *f;
    std::string tmp;    // emptied once renamed into place
    std::string path;
};
void droptemp(tempfile *t);   // closes and removes what was not committed
using tempfilep = std::unique_ptr<tempfile, void (*)(tempfile *)>;

// Creates the temporary file for path; t->f is null (errno set) when it can't.
tempfilep opentemp(const std::string &path);

// Flushes, closes and renames over the target. Returns 0 or an errno value;
// on failure the temporary file is gone and the target untouched.
int committemp(tempfilep t);

// Writes n bytes to path whole or not at all. Returns 0 or an errno value.
int savefile(const std::string &path, const void *data, size_t n);
