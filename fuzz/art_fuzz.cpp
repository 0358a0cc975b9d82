// The tile archive as the dump reads it, from a file holding the input.
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

#include "fuzzutil.h"
#include "vrel.h"

static std::string art, pal, out;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string dir = scratchdir();
    art = dir + "/t.art", pal = dir + "/pal.dat", out = dir + "/out";
    std::string p;
    for (int k = 0; k < 768; k++)
        p += char(k % 64);
    savebytes(pal, reinterpret_cast<const uint8_t *>(p.data()), p.size());
    mkdir(out.c_str(), 0777);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!savebytes(art, data, size))
        abort();
    dump(art.c_str(), pal.c_str(), out.c_str());
    emptydir(out);
    return 0;
}
