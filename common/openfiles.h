// Files an operation opens once, measures, and reads later: the file read
// is the file measured, whatever happens to its name in between.
#pragma once
#include <cstddef>
#include <memory>
#include <sys/stat.h>
#include <vector>

// Descriptors held for an operation, closed together; -1 for none.
void closeall(std::vector<int> *fds);
using fdlist = std::unique_ptr<std::vector<int>, void (*)(std::vector<int> *)>;

// Raises the open-file limit towards n more files, as far as the hard limit
// allows; returns how many more may be held open, keeping a few spare.
size_t allowopen(size_t n);

// Opens path for reading, not waiting on a FIFO, and takes its status.
// Returns the descriptor, or -1 with errno set.
int openread(const char *path, struct stat *st);
