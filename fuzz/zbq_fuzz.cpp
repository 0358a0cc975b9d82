// The wave bank as the dump reads it, from a file holding the input.
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

#include "fuzzutil.h"
#include "zbqtool.h"

static std::string bankpath, out;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string dir = scratchdir();
    bankpath = dir + "/w.zbq", out = dir + "/out";
    mkdir(out.c_str(), 0777);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!savebytes(bankpath, data, size))
        abort();
    dump(bankpath.c_str(), out.c_str());
    emptydir(out);
    return 0;
}
