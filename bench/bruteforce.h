// The nearest-colour rule as plainly as it can be written: the baseline
// that colour matching is measured against, built at -O3 (-march=native with BENCH_NATIVE).
#pragma once
#include <cstddef>
#include <cstdint>

#include "tiledir.h"

inline void bruteforce(const unsigned char *rgba, size_t count, const palette &pal, unsigned char *out)
{
    for (size_t i = 0; i < count; i++, rgba += 4) {
        int best = 210000, idx = 255;
        if (rgba[3] > 128)
            for (int e = 0; e < 256; e++) {
                int dr = pal.r[e] - rgba[0], dg = pal.g[e] - rgba[1], db = pal.b[e] - rgba[2];
                int d = dr * dr + dg * dg + db * db;
                if (d < best) {
                    best = d;
                    idx = e;
                }
            }
        out[i] = uint8_t(idx);
    }
}
