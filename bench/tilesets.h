// The benchmarks' tile sets.
#pragma once
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "fixbytes.h"

// Tiles of the kinds real art has: gradients, flat areas, ordered
// dithering between two colours, and noise; side by side pixels, or sides
// of 32 to 144 when side is 0. Every fifth is animated.
inline std::vector<fixtile> maketiles(int count, unsigned side)
{
    static const unsigned sides[] = {32, 48, 64, 64, 96, 128, 128, 144};
    std::mt19937 rng(42);
    std::vector<fixtile> tiles;
    for (int i = 0; i < count; i++) {
        fixtile t{sides[rng() % 8], sides[rng() % 8], i % 5 == 0 ? 0x03000104u : 0, ""};
        if (side)
            t.w = t.h = side;
        int kind = i % 4, base = int(rng() % 15) * 16;
        for (unsigned x = 0; x < t.w; x++)
            for (unsigned y = 0; y < t.h; y++) {
                static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
                int v = kind == 0 ? base + int(x * 16 / t.w)
                      : kind == 1 ? (x < t.w / 2 ? base + 3 : 255)
                      : kind == 2 ? base + (bayer[y % 4][x % 4] < int(x * 16 / t.w) ? 9 : 2)
                                  : int(rng() % 256);
                t.cols += char(v);
            }
        tiles.push_back(std::move(t));
    }
    return tiles;
}

// Tiles like scanned and dithered game textures: gradients dithered by
// error diffusion, smooth noise dithered by a matrix, gradients with grain,
// and bricks with speckle, in ramps of 16 palette entries. Sides are drawn
// between lo and hi, small ones as often as large; a fixed seed makes every
// set the same on every machine.
inline std::vector<fixtile> maketextures(int count, unsigned lo, unsigned hi, uint32_t seed)
{
    std::mt19937 rng(seed);
    auto unit = [&] { return double(rng()) / 4294967296.0; };
    auto side = [&] { return unsigned(lo * std::pow(double(hi) / lo, unit()) + 0.5); };
    std::vector<fixtile> tiles;
    for (int i = 0; i < count; i++) {
        fixtile t{side(), side(), i % 7 == 0 ? 0x02000004u : 0, ""};
        unsigned w = t.w, h = t.h;
        int ramp = int(rng() % 15) * 16, kind = i % 4;
        double ang = unit() * 6.2832, dx = std::cos(ang) * 15 / w, dy = std::sin(ang) * 15 / h;
        // a lattice of random heights, 8 pixels apart, for smooth noise
        unsigned lw = w / 8 + 2, lh = h / 8 + 2;
        std::vector<double> lat(size_t(lw) * lh);
        for (double &v : lat)
            v = unit() * 15;
        std::vector<double> err(size_t(w) * h, 0.0);   // error diffusion's carry, row by row
        std::vector<unsigned char> px(size_t(w) * h);
        for (unsigned y = 0; y < h; y++)
            for (unsigned x = 0; x < w; x++) {
                static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
                double g = 7.5 + (x - w / 2.0) * dx + (y - h / 2.0) * dy;
                int v;
                if (kind == 0) {            // gradient, Floyd-Steinberg
                    double want = g + err[y * w + x];
                    v = std::clamp(int(std::lround(want)), 0, 15);
                    double e = want - v;
                    if (x + 1 < w)
                        err[y * w + x + 1] += e * 7 / 16;
                    if (y + 1 < h) {
                        if (x > 0)
                            err[(y + 1) * w + x - 1] += e * 3 / 16;
                        err[(y + 1) * w + x] += e * 5 / 16;
                        if (x + 1 < w)
                            err[(y + 1) * w + x + 1] += e / 16;
                    }
                } else if (kind == 1) {     // smooth noise, ordered dithering
                    double fx = x / 8.0, fy = y / 8.0, ax = fx - std::floor(fx), ay = fy - std::floor(fy);
                    size_t at = size_t(fy) * lw + size_t(fx);
                    double n = (lat[at] * (1 - ax) + lat[at + 1] * ax) * (1 - ay) +
                               (lat[at + lw] * (1 - ax) + lat[at + lw + 1] * ax) * ay;
                    v = std::clamp(int(n + bayer[y % 4][x % 4] / 16.0), 0, 15);
                } else if (kind == 2) {     // gradient with grain
                    v = std::clamp(int(g) + int(rng() % 5) - 2, 0, 15);
                } else {                    // bricks, mortar and speckle
                    bool mortar = y % 16 < 2 || (x + (y / 16 % 2) * 16) % 32 < 2;
                    v = mortar ? 2 : 9 + int(y / 16 % 3);
                    if (rng() % 20 == 0)
                        v = int(rng() % 16);
                }
                px[size_t(y) * w + x] = uint8_t(ramp + v);
            }
        t.cols.resize(px.size());
        for (unsigned x = 0; x < w; x++)        // the archive stores columns
            for (unsigned y = 0; y < h; y++)
                t.cols[size_t(x) * h + y] = char(px[size_t(y) * w + x]);
        tiles.push_back(std::move(t));
    }
    return tiles;
}

struct tileset {
    const char *what;
    std::vector<fixtile> tiles;
};

// The archives the benchmarks measure: flat art, then textures.
inline std::vector<tileset> benchsets()
{
    return {{"4000 tiles of 32 to 144 pixels a side", maketiles(4000, 0)},
            {"256 tiles of 256 x 256", maketiles(256, 256)},
            {"16 tiles of 1024 x 1024", maketiles(16, 1024)},
            {"4096 textures of 8 to 256 pixels a side", maketextures(4096, 8, 256, 1)},
            {"256 textures of 8 to 181 pixels a side", maketextures(256, 8, 181, 2)}};
}
