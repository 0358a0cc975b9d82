// Tile archive: header words, per-tile tables and the packed anm word.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "le.h"

// Archives hold hundreds of tiles, a few thousand at most; a directory
// naming tiles further apart than this is refused before anything is sized
// from it, and an old archive holding more is not compared.
constexpr int64_t maxtiles = 65536;

// Pixels of tile i of n, from tables of widths, then heights.
inline uint64_t tilesize(const unsigned char *tab, uint64_t n, uint64_t i)
{
    return uint64_t(get_u16(&tab[2 * i])) * get_u16(&tab[2 * (n + i)]);
}

// Header words are little-endian whatever the host. A short read yields the
// bytes that were there (missing ones as 0) and leaves feof(f) set.
uint32_t read_u32(FILE *f);
void write_u32(FILE *f, uint32_t v);

// anm word: frames bits 0-5, animtype 6-7, xcenter 8-15, ycenter 16-23,
// animspeed 24-27; bits 28-31 are always 0 when packing. Out-of-range
// fields wrap to their width.
inline uint32_t encodeanm(int32_t frames, int32_t animtype, int8_t xcenter, int8_t ycenter,
                          int32_t animspeed)
{
    return (uint32_t(frames) & 0x3F) | ((uint32_t(animtype) << 6) & 0xFF) |
           uint32_t(uint8_t(xcenter)) << 8 | uint32_t(uint8_t(ycenter)) << 16 |
           ((uint32_t(animspeed) << 24) & 0x0F000000);
}

inline void decodeanm(uint32_t w, int32_t *frames, int32_t *animtype, int8_t *xcenter,
                      int8_t *ycenter, int32_t *animspeed)
{
    *frames = int32_t(w & 0x3F);
    *animtype = int32_t((w >> 6) & 3);
    *xcenter = int8_t(uint8_t(w >> 8));
    *ycenter = int8_t(uint8_t(w >> 16));
    *animspeed = int32_t((w >> 24) & 0xF);
}

// dst[c * rows + r] = src[r * cols + c]: rows of an image to the columns of
// the archive, or back with rows and cols swapped.
void transpose(const unsigned char *src, size_t rows, size_t cols, unsigned char *dst);

// The same for cols columns of an image whose rows are stride bytes apart:
// a band of a wider image.
void transposeband(const unsigned char *src, size_t rows, size_t cols, size_t stride, unsigned char *dst);
