// What a pump changes in the wave bank it replaces, sample by sample.
#pragma once
#include <string>
#include <vector>

#include "zbq.h"

// The lines listing how the records recs differ from the bank at path,
// read before anything is written there: one per changed sample in index
// order (at most 16, then how many more), then how many of the samples in
// either bank changed. A sample's data is the file open as fds[i], or,
// where that is -1, the file paths[i] names. None when path holds no
// regular file; one saying so when it holds no bank the dump would read.
std::vector<std::string> changes(const char *path, const std::vector<sample> &recs,
                                 const std::vector<std::string> &paths, const std::vector<int> &fds);
