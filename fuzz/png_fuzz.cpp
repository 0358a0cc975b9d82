// The pump's image handling: PNG bytes to palette indices. The first byte
// picks the form: even takes stored indices, odd matches true colour.
#include <cstdint>
#include <string>

#include "match.h"
#include "tiledir.h"
#include "pump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static palette pal;
    for (int k = 0; k < 256; k++)   // channels past 255 as a scaled 8-bit palette gives
        pal.r[k] = k * 4, pal.g[k] = (255 - k) * 2, pal.b[k] = k % 7 == 0 ? -4 : k;
    std::string file(reinterpret_cast<const char *>(data) + 1, size - 1);
    unsigned w = 0, h = 0;
    pixels px;
    static colourcache cache;
    if (decodetile(file, "t.png", data[0] & 1, pal, &cache, &w, &h, &px) == 0) {
        volatile unsigned sum = 0;
        for (size_t i = 0; i < size_t(w) * h; i++)    // every index must be readable
            sum = sum + px[i];
    }
    return 0;
}
