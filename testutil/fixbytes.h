// Little-endian fields and whole tile archives as bytes: one writer for the
// tests, the sample generator and the benchmarks, so none needs GoogleTest.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

inline std::string u16(unsigned v) { return {char(v), char(v >> 8)}; }
inline std::string u32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

struct fixtile {
    unsigned w, h;
    uint32_t anm;
    std::string cols;   // w * h palette indices, column after column
};

// The archive of tiles first to last; numtiles is the header's own count,
// which readers ignore.
inline std::string makeart(int32_t first, int32_t last, const std::vector<fixtile> &tiles,
                           uint32_t version = 1, uint32_t numtiles = 0)
{
    std::string a = u32(version) + u32(numtiles) + u32(uint32_t(first)) + u32(uint32_t(last));
    for (const auto &t : tiles)
        a += u16(t.w);
    for (const auto &t : tiles)
        a += u16(t.h);
    for (const auto &t : tiles)
        a += u32(t.anm);
    for (const auto &t : tiles)
        a += t.cols;
    return a;
}
