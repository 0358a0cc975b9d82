#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <libdeflate.h>
#include <memory>

#include "zcodec.h"

// bench/levelbench: 10 keeps small images within LodePNG's size, 7 halves 9's time mid-size, large ones need 9
int zlevel(size_t bytes)
{
    return bytes < 2048 ? 10 : bytes < 65536 ? 7 : 9;
}

static void freebytes(unsigned char *p) { free(p); }
using bufp = std::unique_ptr<unsigned char, void (*)(unsigned char *)>;   // LodePNG frees what it is handed

static uint32_t get_b32(const unsigned char *b)
{
    return uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
}

struct freecompressor {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

// One of each for the whole run; a failed allocation is tried again.
static libdeflate_compressor *compressor(int level)
{
    static std::unique_ptr<libdeflate_compressor, freecompressor> c[13];
    if (!c[level])
        c[level].reset(libdeflate_alloc_compressor(level));
    return c[level].get();
}

static libdeflate_decompressor *decompressor()
{
    static std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor *)> d(
        nullptr, libdeflate_free_decompressor);
    if (!d)
        d.reset(libdeflate_alloc_decompressor());
    return d.get();
}

// What a hook is handed through LodePNG, and where it leaves the code of
// a failure: LodePNG reports any failure of a hook as one code of its own.
struct hookctx {
    unsigned code;
    int level;
};

static unsigned fail(const void *context, unsigned code)
{
    static_cast<hookctx *>(const_cast<void *>(context))->code = code;
    return code;
}

static unsigned deflatehook(unsigned char **out, size_t *outsize, const unsigned char *in, size_t insize,
                            const LodePNGCompressSettings *s)
{
    int level = static_cast<const hookctx *>(s->custom_context)->level;
    libdeflate_compressor *c = compressor(level ? level : zlevel(insize));
    size_t room = c ? libdeflate_zlib_compress_bound(c, insize) : 0;
    bufp buf(static_cast<unsigned char *>(c ? malloc(room) : nullptr), freebytes);
    if (!buf)
        return fail(s->custom_context, 83);
    *outsize = libdeflate_zlib_compress(c, in, insize, buf.get(), room);   // fits its bound
    *out = buf.release();
    return 0;
}

// A zlib stream inflated into buf, n bytes, at most max of them (0: no
// bound), with LodePNG's checks and codes.
static unsigned inflatezlib(const unsigned char *in, size_t insize, size_t max, bool adler, bufp *buf,
                            size_t *n)
{
    if (insize < 2)
        return 53;
    if ((in[0] * 256 + in[1]) % 31 != 0)
        return 24;
    if ((in[0] & 15) != 8 || in[0] >> 4 > 7)
        return 25;
    if (in[1] & 32)
        return 26;
    libdeflate_decompressor *d = decompressor();
    if (!d)
        return 83;
    size_t used = 0;
    libdeflate_result r = LIBDEFLATE_INSUFFICIENT_SPACE;
    for (size_t room = max ? max : 4 * insize + 4096; r == LIBDEFLATE_INSUFFICIENT_SPACE; room *= 2) {
        buf->reset(static_cast<unsigned char *>(malloc(room)));
        if (!*buf)
            return 83;
        r = libdeflate_deflate_decompress_ex(d, in + 2, insize - 2, buf->get(), room, &used, n);
        if (r == LIBDEFLATE_INSUFFICIENT_SPACE && max)
            return 109;
    }
    if (r != LIBDEFLATE_SUCCESS)
        return 110;
    // the checksum of the data is the stream's last four bytes
    if (adler && (insize - 2 - used != 4 || get_b32(in + 2 + used) != libdeflate_adler32(1, buf->get(), *n)))
        return 58;
    return 0;
}

static unsigned inflatehook(unsigned char **out, size_t *outsize, const unsigned char *in, size_t insize,
                            const LodePNGDecompressSettings *s)
{
    bufp buf(nullptr, freebytes);
    size_t n = 0;
    unsigned e = inflatezlib(in, insize, s->max_output_size, !s->ignore_adler32, &buf, &n);
    if (e == 109)
        *outsize = s->max_output_size + 1;  // how LodePNG tells a hook's stream was too large
    if (e)
        return fail(s->custom_context, e);
    *out = buf.release();
    *outsize = n;
    return 0;
}

unsigned zencode(unsigned char **out, size_t *outsize, const unsigned char *image, unsigned w, unsigned h,
                 LodePNGState *st, int level)
{
    LodePNGCompressSettings keep = st->encoder.zlibsettings;
    hookctx ctx{0, level};
    st->encoder.zlibsettings.custom_zlib = deflatehook;
    st->encoder.zlibsettings.custom_context = &ctx;
    unsigned e = lodepng_encode(out, outsize, image, w, h, st);
    st->encoder.zlibsettings = keep;
    return e == 111 && ctx.code ? ctx.code : e;
}

// Whether LodePNG reads chunks of this type, and so checks their CRC: it
// skips any other ancillary chunk unchecked.
static bool readchunk(const unsigned char *type)
{
    static const char known[] = "IHDRPLTEIDATIENDtRNSbKGDtEXtzTXtiTXttIMEpHYsgAMAcHRMsRGBiCCPsBIT";
    for (const char *k = known; *k; k += 4)
        if (memcmp(type, k, 4) == 0)
            return true;
    return false;
}

// The CRC of every chunk from IHDR to IEND that LodePNG reads: 0, or
// LodePNG's code for the first chunk that is damaged or that the file
// can't hold.
static unsigned checkcrcs(const unsigned char *in, size_t size)
{
    for (size_t at = 8;;) {
        if (size < at + 12)
            return 30;
        uint32_t len = get_b32(in + at);
        if (len > 2147483647)
            return 63;
        if (len > size - at - 12)
            return 30;
        if (readchunk(in + at + 4) && get_b32(in + at + 8 + len) != libdeflate_crc32(0, in + at + 4, len + 4))
            return 57;
        if (memcmp(in + at + 4, "IEND", 4) == 0)
            return 0;
        at += 12 + len;
    }
}

unsigned zdecode(unsigned char **out, unsigned *w, unsigned *h, LodePNGState *st, const unsigned char *in,
                 size_t insize)
{
    // a file too short or with no header gets LodePNG's own word for it
    if (unsigned e = lodepng_inspect(w, h, st, in, insize))
        return e;
    if (unsigned e = checkcrcs(in, insize))
        return e;
    LodePNGDecoderSettings keep = st->decoder;
    hookctx ctx{0, 0};
    st->decoder.ignore_crc = 1;
    st->decoder.zlibsettings.custom_zlib = inflatehook;
    st->decoder.zlibsettings.custom_context = &ctx;
    unsigned e = lodepng_decode(out, w, h, st, in, insize);
    st->decoder = keep;
    return e == 110 && ctx.code ? ctx.code : e;
}
