// Output files appear whole or not at all. A file that does not exist yet is
// written in place and removed if writing fails; one that exists is
// replaced by a hidden temporary file beside it, renamed over it once
// complete, so a failure leaves it as it was.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

struct tempfile {
    FILE *f;
    std::string tmp;    // what to remove if the write fails; path itself when new
    std::string path;
};
void droptemp(tempfile *t);   // closes and removes what was not committed
using tempfilep = std::unique_ptr<tempfile, void (*)(tempfile *)>;

// Opens the output for path; t->f is null (errno set) when it can't.
tempfilep opentemp(const std::string &path);

// Flushes, closes and puts the file in place. Returns 0 or an errno value;
// on failure nothing of the new file remains and the target is untouched.
int committemp(tempfilep t);
