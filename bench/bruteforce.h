// The nearest-colour rule with nothing remembered between pixels: the
// baseline colour matching is measured against. Every pixel is compared
// with all 256 entries, a loop the compiler runs in vector registers; it is
// built for AVX-512 (full-width vectors), AVX2 and the baseline, the widest
// the processor runs picked at run time: the loop as fast as this processor
// makes it.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>

#include "tiledir.h"

__attribute__((always_inline)) inline void brutebody(const unsigned char *rgba, size_t count, const palette &pal,
                                                     unsigned char *out)
{
    for (size_t i = 0; i < count; i++, rgba += 4) {
        int32_t best = INT32_MAX;
        for (int32_t e = 0; e < 256; e++) {
            int32_t dr = pal.r[e] - rgba[0], dg = pal.g[e] - rgba[1], db = pal.b[e] - rgba[2];
            int32_t key = (dr * dr + dg * dg + db * db) << 8 | e;   // distance, then index
            best = key < best ? key : best;
        }
        out[i] = rgba[3] > 128 && (best >> 8) < 210000 ? uint8_t(best) : 255;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#ifdef __clang__
#define BRUTE512 "avx512f"
#else
#define BRUTE512 "avx512f,prefer-vector-width=512"
#endif
__attribute__((target(BRUTE512))) inline void brute512(const unsigned char *rgba, size_t count,
                                                                               const palette &pal, unsigned char *out)
{
    brutebody(rgba, count, pal, out);
}
__attribute__((target("avx2"))) inline void brute256(const unsigned char *rgba, size_t count, const palette &pal,
                                                     unsigned char *out)
{
    brutebody(rgba, count, pal, out);
}
#endif

inline void bruteforce(const unsigned char *rgba, size_t count, const palette &pal, unsigned char *out)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx512f"))
        return brute512(rgba, count, pal, out);
    if (__builtin_cpu_supports("avx2"))
        return brute256(rgba, count, pal, out);
#endif
    brutebody(rgba, count, pal, out);
}
