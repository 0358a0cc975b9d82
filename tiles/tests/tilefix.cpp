#include "tilefix.h"

#include <set>

#include <cstdlib>
#include <cstring>
#include <lodepng.h>

#include "testutil.h"

std::string testpalette()
{
    std::string p;
    for (int k = 0; k < 256; k++)
        p += {char(k % 64), char(k / 4), char(63 - k % 64)};
    return p;
}

std::vector<unsigned char> dumppalette(int count)
{
    std::string bytes = testpalette();
    std::vector<unsigned char> pal;
    for (int k = 0; k < count; k++)
        pal.insert(pal.end(), {uint8_t(bytes[3 * k] * 4), uint8_t(bytes[3 * k + 1] * 4),
                               uint8_t(bytes[3 * k + 2] * 4), 255});
    return pal;
}

png decodepng(const std::string &path)
{
    png r{};
    std::string file = readfile(path);
    LodePNGState st;
    lodepng_state_init(&st);
    st.decoder.color_convert = 0;
    unsigned char *out = nullptr;
    r.err = lodepng_decode(&out, &r.w, &r.h, &st,
                           reinterpret_cast<const unsigned char *>(file.data()), file.size());
    if (!r.err) {
        r.colortype = st.info_png.color.colortype;
        r.bitdepth = st.info_png.color.bitdepth;
        r.pal.assign(st.info_png.color.palette,
                     st.info_png.color.palette + 4 * st.info_png.color.palettesize);
        r.px.assign(reinterpret_cast<char *>(out), lodepng_get_raw_size(r.w, r.h, &st.info_raw));
    }
    free(out);
    lodepng_state_cleanup(&st);
    return r;
}

std::string encodepng(unsigned w, unsigned h, const std::string &raw, unsigned colortype,
                      unsigned bitdepth, const std::vector<unsigned char> &palette)
{
    LodePNGState st;
    lodepng_state_init(&st);
    st.encoder.auto_convert = 0;
    st.info_raw.colortype = st.info_png.color.colortype = LodePNGColorType(colortype);
    st.info_raw.bitdepth = st.info_png.color.bitdepth = bitdepth;
    for (size_t i = 0; i + 3 < palette.size(); i += 4) {
        lodepng_palette_add(&st.info_raw, palette[i], palette[i + 1], palette[i + 2], palette[i + 3]);
        lodepng_palette_add(&st.info_png.color, palette[i], palette[i + 1], palette[i + 2],
                            palette[i + 3]);
    }
    unsigned char *out = nullptr;
    size_t n = 0;
    unsigned err = lodepng_encode(&out, &n, reinterpret_cast<const unsigned char *>(raw.data()),
                                  w, h, &st);
    std::string r = err ? std::string() : std::string(reinterpret_cast<char *>(out), n);
    free(out);
    lodepng_state_cleanup(&st);
    return r;
}

std::string bombpng(unsigned w, unsigned h, unsigned mib)
{
    // deflate with fixed codes: a literal 0, then copies of 258 bytes at
    // distance 1, 13 bits each; bits go in least significant first, codes
    // most significant bit first
    std::string z = "\x78\x01";
    unsigned bit = 0;
    auto put = [&](unsigned v, int n, bool code) {
        for (int i = 0; i < n; i++) {
            if (bit % 8 == 0)
                z += '\0';
            if (v >> (code ? n - 1 - i : i) & 1)
                z.back() = char(z.back() | 1 << bit % 8);
            bit++;
        }
    };
    put(1, 1, false);   // final block
    put(1, 2, false);   // fixed codes
    put(0x30, 8, true); // literal 0
    for (size_t n = 1; n + 258 <= size_t(mib) << 20; n += 258) {
        put(0xC5, 8, true);     // length 258
        put(0, 5, true);        // distance 1
    }
    put(0, 7, true);    // end of block
    z += std::string(4, '\0');  // the checksum is never reached
    auto chunk = [](const char *type, const std::string &data) {
        std::string c = std::string{char(data.size() >> 24), char(data.size() >> 16),
                                    char(data.size() >> 8), char(data.size())} +
                         type + data + "0000";
        lodepng_chunk_generate_crc(reinterpret_cast<unsigned char *>(&c[0]));
        return c;
    };
    std::string ihdr = {char(w >> 24), char(w >> 16), char(w >> 8), char(w),
                        char(h >> 24), char(h >> 16), char(h >> 8), char(h), 8, 0, 0, 0, 0};
    return "\x89PNG\r\n\x1A\n" + chunk("IHDR", ihdr) + chunk("IDAT", z) + chunk("IEND", "");
}

unsigned char refmatch(const std::string &pal, int scale, const unsigned char *c)
{
    if (c[3] <= 128)
        return 255;
    int best = 210000, idx = 255;
    for (int e = 0; e < 256; e++) {
        int d = 0;
        for (int k = 0; k < 3; k++) {
            size_t at = size_t(3 * e + k);
            int v = (at < pal.size() ? uint8_t(pal[at]) : -1) * scale;
            d += (v - c[k]) * (v - c[k]);
        }
        if (d < best)
            best = d, idx = e;
    }
    return uint8_t(idx);
}

refresult reference(const std::string &png, const std::string &pal, int scale, bool keep,
                    const std::vector<unsigned char> &dumped)
{
    auto bytes = reinterpret_cast<const unsigned char *>(png.data());
    refresult r{0, 0, "", -1, 0, 0, false};
    unsigned char *rgba = nullptr;
    if (lodepng_decode32(&rgba, &r.w, &r.h, bytes, png.size()) != 0)
        return r;
    LodePNGState st;
    lodepng_state_init(&st);
    st.decoder.color_convert = 0;
    unsigned char *raw = nullptr;
    unsigned w, h;
    lodepng_decode(&raw, &w, &h, &st, bytes, png.size());
    const LodePNGColorMode &m = st.info_png.color;
    bool used[256] = {};
    bool differs[256] = {};
    std::set<uint32_t> missing;     // colours matched to an entry of another colour
    for (size_t i = 0; i < size_t(r.w) * r.h; i++) {
        const unsigned char *c = rgba + 4 * i;
        unsigned char idx = refmatch(pal, scale, c);
        bool found = true;
        for (int j = 0; j < 3; j++) {
            size_t at = size_t(3 * idx + j);
            found = found && c[j] == (at < pal.size() ? uint8_t(pal[at]) : -1) * scale;
        }
        bool near = c[3] > 128 && !found;
        if (m.colortype == LCT_PALETTE && keep) {
            size_t bit = i * m.bitdepth;
            unsigned k = raw[bit / 8] >> (8 - m.bitdepth - bit % 8) & ((1u << m.bitdepth) - 1);
            // past the palette: kept as stored
            bool same = k >= m.palettesize || (memcmp(&m.palette[4 * k], &dumped[4 * k], 3) == 0 &&
                                               m.palette[4 * k + 3] > 128);
            used[k] = true;
            differs[k] = !same;
            if (same)
                idx = uint8_t(k);
            near = near && !same;
            r.transparent += !same && c[3] <= 128 && k != 255;
            r.reordered = r.reordered || (!same && c[3] > 128 && found && idx != k);
        } else {
            r.transparent += c[3] <= 128;
        }
        if (near)
            missing.insert(uint32_t(c[0]) << 16 | c[1] << 8 | c[2]);
        r.px += char(idx);
    }
    if (m.colortype == LCT_PALETTE) {
        r.matched = 0;
        for (int k = 0; k < 256; k++)
            r.matched += keep ? used[k] && differs[k] : 0;
    }
    r.missing = int(missing.size());
    free(rgba);
    free(raw);
    lodepng_state_cleanup(&st);
    return r;
}

std::string indexpng(unsigned w, unsigned h, const std::string &rows)
{
    return encodepng(w, h, rows, 3, 8, dumppalette());
}
