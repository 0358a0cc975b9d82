// Colour matching: the palette index nearest to a colour.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tiledir.h"

// The nearest entry to an opaque colour by squared distance, the lowest
// index on ties; 255 when none lies within 210000.
uint8_t nearest(const palette &pal, int32_t r, int32_t g, int32_t b);

// Colours already matched to one palette, by an exact key of their red,
// green and blue (alpha plays no part above 128). Starts zeroed: a key is
// never 0.
struct colourcache {
    uint32_t key[4096];
    uint8_t idx[4096];
};

// Palette index of each of count RGBA pixels: 255 for alpha 128 or less,
// else the nearest entry, looked up in the cache where it was seen before.
void matchcolours(const unsigned char *rgba, size_t count, const palette &pal, colourcache *cache,
                  unsigned char *out);

// The builds of nearest for this CPU's instruction sets, widest first:
// AVX-512, AVX2, baseline; null where the CPU lacks one. All give the same
// results; nearest uses the first, or the baseline when built with
// MATCH_BASELINE.
using nearestfn = uint8_t (*)(const palette &, int32_t, int32_t, int32_t);
extern const nearestfn nearestclones[3];
