#include "match.h"

#include <climits>

// Channels lie within -4..1020, so a distance stays below 2^22 and
// distance * 256 + index orders by distance, then index: one minimum over
// 256 keys, a loop the compiler runs in vector registers.
__attribute__((always_inline)) static inline uint8_t nearestkeys(const palette &pal, int32_t r,
                                                                 int32_t g, int32_t b)
{
    int32_t best = INT32_MAX;
    for (int32_t e = 0; e < 256; e++) {
        int32_t dr = pal.r[e] - r, dg = pal.g[e] - g, db = pal.b[e] - b;
        int32_t key = (dr * dr + dg * dg + db * db) << 8 | e;
        best = key < best ? key : best;
    }
    return (best >> 8) < 210000 ? uint8_t(best) : 255;
}

#if defined(__x86_64__) && defined(__GNUC__)
#ifdef __clang__
#define WIDE512 "avx512f"
#else
#define WIDE512 "avx512f,prefer-vector-width=512"   // else GCC halves the vectors
#endif
__attribute__((target(WIDE512))) static uint8_t nearest512(const palette &pal, int32_t r, int32_t g, int32_t b)
{
    return nearestkeys(pal, r, g, b);
}
__attribute__((target("avx2"))) static uint8_t nearest256(const palette &pal, int32_t r, int32_t g, int32_t b)
{
    return nearestkeys(pal, r, g, b);
}
#endif
static uint8_t nearestbase(const palette &pal, int32_t r, int32_t g, int32_t b)
{
    return nearestkeys(pal, r, g, b);
}

#if defined(__x86_64__) && defined(__GNUC__)
const nearestfn nearestclones[3] = {__builtin_cpu_supports("avx512f") ? nearest512 : nullptr,
                                    __builtin_cpu_supports("avx2") ? nearest256 : nullptr,
                                    nearestbase};
#else
const nearestfn nearestclones[3] = {nullptr, nullptr, nearestbase};
#endif

#ifdef MATCH_BASELINE
static const nearestfn best = nearestbase;
#else
static const nearestfn best = nearestclones[0]   ? nearestclones[0]
                              : nearestclones[1] ? nearestclones[1]
                                                 : nearestbase;
#endif

uint8_t nearest(const palette &pal, int32_t r, int32_t g, int32_t b) { return best(pal, r, g, b); }

void matchcolours(const unsigned char *rgba, size_t count, const palette &pal, colourcache *cache,
                  unsigned char *out)
{
    for (size_t i = 0; i < count; i++, rgba += 4) {
        if (rgba[3] <= 128) {
            out[i] = 255;
            continue;
        }
        uint32_t k = uint32_t(rgba[0]) | uint32_t(rgba[1]) << 8 | uint32_t(rgba[2]) << 16 | 1u << 24;
        uint32_t slot = (k * 2654435761u) >> 20;    // the top 12 bits of a multiplicative hash
        if (cache->key[slot] != k) {
            cache->key[slot] = k;
            cache->idx[slot] = best(pal, rgba[0], rgba[1], rgba[2]);
        }
        out[i] = cache->idx[slot];
    }
}
