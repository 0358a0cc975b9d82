#include "art.h"
#include "vrel.h"

#include <algorithm>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

uint32_t read_u32(FILE *f)
{
    unsigned char b[4] = {0, 0, 0, 0};
    (void)!fread(b, 1, sizeof b, f);  // a short read shows as feof(f) to the caller
    return get_u32(b);
}

void write_u32(FILE *f, uint32_t v)
{
    unsigned char b[4];
    put_u32(b, v);
    fwrite(b, 1, sizeof b, f);  // errors surface at fclose
}

#ifdef __SSE2__
// One 16 x 16 block. Four rounds of interleaving the bytes of register pairs
// transpose it when the rows go in, and the columns come out, in bit-reversed
// order of their index.
static void transpose16(const unsigned char *src, size_t stride, unsigned char *dst, size_t rows)
{
    static const int rev[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    __m128i x[16], y[16];
    for (int i = 0; i < 16; i++)
        x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + rev[i] * stride));
    for (int round = 0; round < 4; round++) {
        for (int i = 0; i < 8; i++) {
            y[i] = _mm_unpacklo_epi8(x[2 * i], x[2 * i + 1]);
            y[i + 8] = _mm_unpackhi_epi8(x[2 * i], x[2 * i + 1]);
        }
        std::copy(y, y + 16, x);
    }
    for (int i = 0; i < 16; i++)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + rev[i] * rows), x[i]);
}
#endif

void transpose(const unsigned char *src, size_t rows, size_t cols, unsigned char *dst)
{
    transposeband(src, rows, cols, cols, dst);
}

void transposeband(const unsigned char *src, size_t rows, size_t cols, size_t stride, unsigned char *dst)
{
    // in blocks of 16 x 16, so that reads and writes both stay within a few cache lines
    const size_t b = 16;
    for (size_t r0 = 0; r0 < rows; r0 += b)
        for (size_t c0 = 0; c0 < cols; c0 += b) {
            size_t r1 = std::min(rows, r0 + b), c1 = std::min(cols, c0 + b);
#ifdef __SSE2__
            if (r1 - r0 == b && c1 - c0 == b) {
                transpose16(src + r0 * stride + c0, stride, dst + c0 * rows + r0, rows);
                continue;
            }
#endif
            for (size_t c = c0; c < c1; c++)
                for (size_t r = r0; r < r1; r++)
                    dst[c * rows + r] = src[r * stride + c];
        }
}

static uint32_t roundtrip(uint32_t w, int32_t *frames, int32_t *animtype, int8_t *xcenter,
                          int8_t *ycenter, int32_t *animspeed)
{
    *frames = *animtype = *animspeed = 0;
    *xcenter = *ycenter = 0;
    decodeanm(w, frames, animtype, xcenter, ycenter, animspeed);
    return encodeanm(*frames, *animtype, *xcenter, *ycenter, *animspeed);
}

void testanm()
{
    // Words go in blocks whose differences are only gathered, a loop the
    // compiler can run in vector registers; a block with any difference is
    // gone through again to report each word.
    const uint32_t block = 1 << 12;
    int32_t frames, animtype, animspeed;
    int8_t xcenter, ycenter;
    for (uint32_t w0 = 0; w0 <= 0x0FFFFFFF; w0 += block) {
        if ((w0 & 0xFFFFFF) == 0)
            fprintf(stderr, "progress %X\n", w0);
        uint32_t diff = 0;
        for (uint32_t w = w0; w < w0 + block; w++)
            diff |= roundtrip(w, &frames, &animtype, &xcenter, &ycenter, &animspeed) ^ w;
        for (uint32_t w = w0; diff != 0 && w < w0 + block; w++) {
            uint32_t back = roundtrip(w, &frames, &animtype, &xcenter, &ycenter, &animspeed);
            if (back != w)
                fprintf(stderr, "ERROR %X vs. %X - %d %d %d %d %d\n", w, back, frames, animtype,
                        xcenter, ycenter, animspeed);
        }
    }
    fprintf(stderr, "done.\n");
}
