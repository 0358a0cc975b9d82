#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <lodepng.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "art.h"
#include "changes.h"
#include "outfile.h"
#include "match.h"
#include "openfiles.h"
#include "platform.h"
#include "pump.h"
#include "report.h"
#include "tiledir.h"
#include "vrel.h"
#include "zcodec.h"

// The name a file that looks like a tile file is read under, when that is
// not its own name: tile14.png is read as tile014.png, tile005.PNG and
// tile005.yml as tile005.png and tile005.yaml. Empty for the pump's own
// names and for names no tile is read under.
static std::string readas(const char *name, int64_t *n)
{
    std::string low(name);
    for (char &c : low)
        c = char(tolower((unsigned char)c));
    if (low.size() > 4 && low.compare(low.size() - 4, 4, ".yml") == 0)
        low = low.substr(0, low.size() - 3) + "yaml";
    if (!tilenumber(low.c_str(), n) || *n < INT32_MIN || *n > INT32_MAX)
        return "";
    size_t e = low.find_first_not_of(" \t\n\v\f\r", low.find('.') + 1);
    std::string own = tilename("", int32_t(*n), low[e] == 'p' ? "png" : "yaml").substr(1);
    return own == name ? "" : own;
}

int processfiles(const char *dir, int64_t *first, int64_t *last, bool *seen,
                 std::vector<std::string> *names, std::vector<std::string> *unread)
{
    std::vector<std::string> entries;
    int got = listnames(dir, &entries), err = errno;
    for (const std::string &e : entries) {
        int64_t n;
        if (e[0] != '.' && !readas(e.c_str(), &n).empty())
            unread->push_back(e);
        if (!tilenumber(e.c_str(), &n))
            continue;
        if (!*seen || n < *first)
            *first = n;
        if (!*seen || n > *last)
            *last = n;
        *seen = true;
        names->push_back(e);
    }
    if (got != 0) {
        errno = err;
        return -1;
    }
    std::sort(names->begin(), names->end());
    std::sort(unread->begin(), unread->end());
    return 0;
}

// Why LodePNG refused a file, in plain words: e is its error code, p the
// file's first n bytes (the whole file, or its head) of size in all.
static const char *pngcause(unsigned e, const unsigned char *p, size_t n, uint64_t size)
{
    static const unsigned char sig[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    if (size == 0)
        return "the file is empty";
    if (memcmp(p, sig, std::min<size_t>(n, 8)) != 0)
        return "not a PNG file";
    switch (e) {
    case 27: case 30:   // zdecode walks the chunks first: a file cut anywhere gives 30
        return "the file ends early (cut short)";
    case 83:
        return "out of memory";
    case 77: case 92: case 95: case 105: case 109: case 112: case 113:
        return "the image is too large";
    case 29: case 31: case 32: case 33: case 34: case 35: case 37: case 38: case 39: case 40: case 41:
    case 42: case 43: case 44: case 45: case 63: case 69: case 72: case 73: case 74: case 75: case 76:
    case 93: case 94: case 96: case 97: case 98: case 99: case 100: case 101: case 102: case 103:
    case 106: case 114: case 115:
        return "it uses a form PNG does not allow";
    default:    // checksums, and deflate data that makes no sense
        return "the file is damaged (checksum or data error)";
    }
}

static int cantdecode(const std::string &name, unsigned e, const unsigned char *p, size_t n, uint64_t size)
{
    return report(3, "%s: can't decode image: %s [LodePNG error %u]", name.c_str(), pngcause(e, p, n, size), e);
}

// An image that is not what the first pass measured.
static int changed(const std::string &name)
{
    return report(3, "%s: changed while the pump ran", name.c_str());
}

// A tile file that exists but can't be taken: errno values as readwhole gives them.
static int cantread(const std::string &name, int err)
{
    return report(3, "%s: %s", name.c_str(), err == EISDIR  ? "not a regular file"
                                             : err == EFBIG ? "more than 1 MiB, too large for a sidecar"
                                                            : strerror(err));
}

// Indices of 1, 2 or 4 bits, packed high bits first with no padding
// between rows, spread to one byte each.
static pixels unpack(const unsigned char *in, size_t count, unsigned bits)
{
    pixels out(static_cast<unsigned char *>(malloc(count)));
    if (!out)
        return out;
    unsigned mask = (1u << bits) - 1;
    for (size_t k = 0; k < count; k++) {
        size_t bit = k * bits;
        out[k] = uint8_t(in[bit / 8] >> (8 - bits - bit % 8) & mask);
    }
    return out;
}

// Whether index k of the palette file holds colour c exactly; a colour
// of alpha 128 or less is the transparent index by rule, so it always does.
static bool exact(const palette &pal, uint8_t k, const unsigned char *c)
{
    return c[3] <= 128 || (pal.r[k] == c[0] && pal.g[k] == c[1] && pal.b[k] == c[2]);
}

// How many distinct colours of count RGBA pixels, matched to idx, the
// palette file does not hold exactly.
static size_t inexact(const unsigned char *rgba, const unsigned char *idx, size_t count, const palette &pal)
{
    std::vector<bool> seen;     // a bit for each colour, made at the first one missing
    size_t n = 0;
    for (size_t i = 0; i < count; i++, rgba += 4) {
        if (exact(pal, idx[i], rgba))
            continue;
        seen.resize(1 << 24);
        uint32_t c = get_u32(rgba) & 0xFFFFFF;
        n += !seen[c];
        seen[c] = true;
    }
    return n;
}

// What a note of an image's colours says: pixels that came out as the
// transparent index by their alpha, whether a colour kept moved to another
// index, and how many distinct colours the palette file lacks.
struct colours {
    size_t transparent;
    bool reordered;
    size_t missing;
};

// Palette indices of a palette image, in place: each used entry's index
// where keep says the entry is the palette file's own, else its colour's
// match. Sets matched to how many used entries were matched, and what
// became of them in c.
static void mapentries(unsigned char *px, size_t count, const LodePNGColorMode &mode, const palette &pal,
                       colourcache *cache, bool keep, unsigned *matched, colours *c)
{
    // An image whose palette is the palette file's own, as a dump writes
    // it, keeps every index: no pixel need be looked at. Alpha above 128
    // is opaque by rule.
    bool same[256];
    bool all = keep;
    for (unsigned k = 0; k < mode.palettesize; k++) {
        const unsigned char *e = &mode.palette[4 * k];
        same[k] = e[0] == uint8_t(pal.r[k]) && e[1] == uint8_t(pal.g[k]) && e[2] == uint8_t(pal.b[k]) && e[3] > 128;
        all = all && same[k];
    }
    *matched = 0;
    *c = {0, false, 0};
    if (all)
        return;   // indices past the palette's end are kept too

    size_t used[256] = {};
    for (size_t i = 0; i < count; i++)
        used[px[i]]++;
    uint8_t map[256];
    unsigned char found[4 * 256], idx[256];
    for (unsigned k = 0; k < 256; k++) {
        if (!used[k])
            continue;
        // past the end of the image's palette: kept as stored, or black as
        // a conversion to colours reads it
        unsigned char e[4] = {0, 0, 0, 255};
        if (k < mode.palettesize)
            memcpy(e, &mode.palette[4 * k], 4);
        if (keep && (k >= mode.palettesize || same[k])) {
            map[k] = uint8_t(k);
            continue;
        }
        matchcolours(e, 1, pal, cache, &map[k]);
        if (e[3] <= 128)
            c->transparent += k != 255 ? used[k] : 0;
        else if (exact(pal, map[k], e))
            c->reordered = c->reordered || map[k] != k;
        memcpy(&found[4 * *matched], e, 4);
        idx[(*matched)++] = map[k];
    }
    for (size_t i = 0; i < count; i++)
        px[i] = map[px[i]];
    c->missing = inexact(found, idx, *matched, pal);
}

// A line of what matching did to an image's pixels, when it did anything
// a user may not have meant: made pixels transparent, moved colours to
// other indices, or put a nearest colour in place of one. count is the
// image's pixels.
static void notecolours(const std::string &name, bool paletted, const colours &c, size_t count)
{
    std::string says;
    auto add = [&](const std::string &part) { says += (says.empty() ? "" : "; ") + part; };
    if (c.transparent)
        add(counted(c.transparent, "pixel") + " made transparent");
    if (c.reordered)
        add("palette reordered");
    if (c.missing)
        add(counted(c.missing, "colour") + " not in the palette; nearest used");
    else if (c.reordered || (!paletted && c.transparent < count))
        add("every colour found exactly");
    if (!says.empty())
        note("%s: %s%s", name.c_str(), paletted ? "" : "not a palette image; ", says.c_str());
}

// Bytes of an image's filtered rows, as its data inflates: each row a
// filter byte and its samples in whole bytes; an interlaced image's seven
// passes each so.
static uint64_t filteredsize(unsigned w, unsigned h, const LodePNGInfo &info)
{
    uint64_t bpp = lodepng_get_bpp(&info.color);
    auto rows = [bpp](uint64_t pw, uint64_t ph) { return pw && ph ? ph * (1 + (pw * bpp + 7) / 8) : 0; };
    if (info.interlace_method == 0)
        return rows(w, h);
    static const unsigned x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const unsigned dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    uint64_t n = 0;
    for (int i = 0; i < 7; i++)
        n += rows((uint64_t(w) + dx[i] - 1 - x0[i]) / dx[i], (uint64_t(h) + dy[i] - 1 - y0[i]) / dy[i]);
    return n;
}

// The least a PNG holds besides its image data: signature, header chunk,
// the framing of one data chunk and the end chunk, zlib's header and
// checksum.
constexpr uint64_t minpngsize = 8 + 25 + 12 + 12 + 2 + 4;

// Checks an image's header before anything is sized from it: head holds
// the file's first bytes (33 are enough), size the whole file's length.
// Sets w, h, the stored form in st and a bound on its inflated data.
// Returns 0, or 3 after a line naming the image.
static int checkheader(const std::string &name, LodePNGState *st, const unsigned char *head, size_t n,
                       uint64_t size, unsigned *w, unsigned *h)
{
    if (unsigned e = lodepng_inspect(w, h, st, head, n))
        return cantdecode(name, e, head, n, size);
    if (*w > 65535 || *h > 65535)
        return report(3, "%s: image is %ux%u, more than a tile's 65535 pixels on a side", name.c_str(), *w, *h);
    // Deflate expands data at most 1032-fold: an image whose filtered rows
    // its file could not hold even so, beside the least a PNG holds else,
    // is refused. Nor may its data inflate to more than the image needs:
    // each row, interlaced ones too, adds a filter byte and at most a byte
    // of padding. A file far larger than that is no tile either.
    size_t need = lodepng_get_raw_size(*w, *h, &st->info_png.color) + 4 * size_t(*h) + 16;
    st->decoder.zlibsettings.max_output_size = need;
    if (size < minpngsize + filteredsize(*w, *h, st->info_png) / 1032)
        return report(3, "%s: image claims %ux%u pixels, more than its %llu bytes can hold", name.c_str(), *w,
                      *h, (unsigned long long)size);
    if (size > 2 * uint64_t(need) + (64 << 20))
        return report(3, "%s: %llu bytes, far more than an image of %ux%u pixels needs", name.c_str(),
                      (unsigned long long)size, *w, *h);
    return 0;
}

int decodetile(const std::string &file, const std::string &name, int32_t rgba, const palette &pal,
               colourcache *cache, unsigned *w, unsigned *h, pixels *px)
{
    auto raw = reinterpret_cast<const unsigned char *>(file.data());
    size_t rawsize = file.size();

    // The image in its own colour type and depth, unconverted
    LodePNGState st;
    lodepng_state_init(&st);
    std::unique_ptr<LodePNGState, void (*)(LodePNGState *)> keep(&st, lodepng_state_cleanup);
    st.decoder.color_convert = 0;
    st.decoder.read_text_chunks = 0;    // never used: not worth inflating
    unsigned iw = 0, ih = 0;
    if (int e = checkheader(name, &st, raw, rawsize, rawsize, &iw, &ih))
        return e;
    unsigned char *dec = nullptr;
    unsigned e = zdecode(&dec, &iw, &ih, &st, raw, rawsize);
    pixels decoded(dec);
    if (e)
        return cantdecode(name, e, raw, rawsize, rawsize);

    // A palette image's indices stand where its colours are the palette
    // file's own; every other colour, and every pixel of an image of
    // colours, is matched. rgba other than 0 matches them all.
    size_t count = size_t(iw) * ih;
    const LodePNGColorMode &mode = st.info_png.color;
    if (mode.colortype == LCT_PALETTE) {
        if (mode.bitdepth < 8)
            decoded = unpack(decoded.get(), count, mode.bitdepth);
        if (!decoded)
            throw std::bad_alloc();
        unsigned matched;
        colours c;
        mapentries(decoded.get(), count, mode, pal, cache, rgba == 0, &matched, &c);
        if (rgba == 0 && matched > 0)
            notecolours(name, true, c, count);
    } else {
        pixels rgba8px(static_cast<unsigned char *>(malloc(4 * count)));
        pixels idx(static_cast<unsigned char *>(malloc(count)));
        if (!rgba8px || !idx)
            throw std::bad_alloc();
        LodePNGColorMode rgba8 = lodepng_color_mode_make(LCT_RGBA, 8);
        e = lodepng_convert(rgba8px.get(), decoded.get(), &rgba8, &st.info_raw, iw, ih);
        if (e)
            return cantdecode(name, e, raw, rawsize, rawsize);
        matchcolours(rgba8px.get(), count, pal, cache, idx.get());
        if (rgba == 0) {
            colours c{0, false, inexact(rgba8px.get(), idx.get(), count, pal)};
            for (size_t i = 0; i < count; i++)
                c.transparent += rgba8px[4 * i + 3] <= 128;
            notecolours(name, false, c, count);
        }
        decoded = std::move(idx);
    }
    *w = iw;
    *h = ih;
    *px = std::move(decoded);
    return 0;
}

// Opens a tile's image and takes its width and height from its header;
// keeps it open in *fd while *room allows, so that the second pass reads
// the file measured. Returns 0, also when the image is gone, or 3 after a
// line naming the image.
static int openimage(const std::string &name, size_t *room, int *fd, unsigned *w, unsigned *h,
                     uint64_t *size)
{
    struct stat st;
    int f = openread(name.c_str(), &st);
    if (f < 0)
        return errno == ENOENT ? 0 : cantread(name, errno);
    std::vector<int> own{f};
    fdlist keep(&own, closeall);
    if (!S_ISREG(st.st_mode))
        return cantread(name, EISDIR);
    unsigned char head[33];
    int64_t n = readat(f, head, sizeof head, 0);
    if (n < 0)
        return cantread(name, errno);
    LodePNGState png;
    lodepng_state_init(&png);
    std::unique_ptr<LodePNGState, void (*)(LodePNGState *)> keeppng(&png, lodepng_state_cleanup);
    *size = uint64_t(st.st_size);
    if (int e = checkheader(name, &png, head, size_t(n), *size, w, h))
        return e;
    if (*room > 0) {
        *fd = f;
        own.clear();
        --*room;
    }
    return 0;
}

// Reads the whole of a tile's image, size bytes as measured, from fd or,
// where it could not be kept open, by name again. Returns 0, or 3 after a
// line naming the image.
static int readimage(const std::string &name, int *fd, uint64_t size, std::string &file)
{
    struct stat st;
    if (*fd < 0 && (*fd = openread(name.c_str(), &st)) < 0)
        return cantread(name, errno);
    file.resize(size);
    size_t got = 0;
    int64_t k = 1;
    while (got < size && (k = readat(*fd, &file[got], size - got, got)) > 0)
        got += size_t(k);
    if (k < 0)
        return cantread(name, errno);
    char more;
    if (got < size || readat(*fd, &more, 1, size) > 0)
        return changed(name);
    return 0;
}

int pump(const char *archive, const char *pal, const char *dir)
{
    palette p;
    if (!loadpalette(pal, &p))
        return 2;
    changes was;
    readold(&was, archive);
    outfilep out = outopen(archive, true);
    if (!out)
        return 1;
    if (outinplace(out.get()))
        cantcompare(&was, "written in place, so the file replaced can't be compared");

    // Range of tile numbers named in the directory
    int64_t first = -1, last = -1;
    bool seen = false;
    std::vector<std::string> names, unread;
    int ret = processfiles(dir, &first, &last, &seen, &names, &unread);
    int err = errno;
    fprintf(stderr, "file ret %d range: %lld - %lld\n", ret, (long long)first, (long long)last);
    if (ret != 0)
        return report(3, "%s: can't read directory: %s", dir, strerror(err));
    if (first < INT32_MIN || last > INT32_MAX)
        return report(3, "%s: tile number outside the 32-bit range", dir);
    int64_t n = last - first + 1;
    if (n > maxtiles)
        return report(3, "%s: tiles %lld to %lld are more than %lld", dir, (long long)first, (long long)last,
                      (long long)maxtiles);
    if (!seen)
        note("%s: no tile files; the archive written holds no tiles", dir);
    newrange(&was, first, n);

    // First pass: each tile's sidecar, and its size from its image's header,
    // into the tables: widths, heights and anm words, 8 bytes a tile
    std::vector<unsigned char> tab(8 * n);
    std::vector<int32_t> rgba(n);
    std::vector<uint64_t> filesize(n);
    std::vector<int> fds(n, -1);
    fdlist keep(&fds, closeall);
    size_t room = allowopen(size_t(n));
    // files the scan did not list are not there: no need to try them
    auto listed = [&](const std::string &path) {
        return std::binary_search(names.begin(), names.end(), path.substr(strlen(dir) + 1));
    };
    // what becomes of the tile a misnamed file was meant for
    for (const std::string &u : unread) {
        int64_t t;
        std::string own = readas(u.c_str(), &t), png = tilename(dir, int32_t(t), "png"),
                    yaml = tilename(dir, int32_t(t), "yaml");
        const char *why = listed(dir + ("/" + own)) ? ""
                        : !seen || t < first || t > last ? nullptr
                        : !listed(png) && !listed(yaml) ? ", which is missing, so it is stored empty"
                        : own == png.substr(strlen(dir) + 1) ? ", which is missing, so it is stored without an image"
                                                             : ", which is missing, so its sidecar values are 0";
        if (why)
            note("%s/%s: never read; tile %lld is read from %s%s", dir, u.c_str(), (long long)t, own.c_str(), why);
        else
            note("%s/%s: never read; no tile %lld is stored: it would be read from %s", dir, u.c_str(),
                 (long long)t, own.c_str());
    }
    for (int64_t i = 0; i < n; i++) {
        int32_t t = int32_t(first + i);
        std::string side = tilename(dir, t, "yaml");
        sidecar s{};
        if (listed(side))
            if (int err = readsidecar(side, &s); err != 0 && err != ENOENT)
                return cantread(side, err);
        put_u32(&tab[4 * (n + i)], encodeanm(s.frames, s.animtype, s.xcenter, s.ycenter, s.animspeed));
        rgba[i] = s.rgba;
        unsigned w = 0, h = 0;
        std::string image = tilename(dir, t, "png");
        if (listed(image))
            if (int e = openimage(image, &room, &fds[i], &w, &h, &filesize[i]))
                return e;
        put_u16(&tab[2 * i], uint16_t(w));
        put_u16(&tab[2 * (n + i)], uint16_t(h));
    }

    // Header and tables
    unsigned char head[16];
    put_u32(head, 1);
    put_u32(head + 4, 666);     // the reported count is a fixed mark, not the count
    put_u32(head + 8, uint32_t(first));
    put_u32(head + 12, uint32_t(last));
    outwrite(out.get(), head, sizeof head);
    outwrite(out.get(), tab.data(), tab.size());

    // Second pass: each tile decoded, matched and written in turn, column
    // after column; one tile is held at a time, and its columns go out
    // through a strip of 1 MiB, as many as fill it and 16 at least (16 of
    // the tallest, 65535 pixels, still fit)
    auto cache = std::make_unique<colourcache>();
    std::vector<unsigned char> strip(1 << 20);
    std::string file;
    for (int64_t i = 0; i < n; i++) {
        unsigned w = get_u16(&tab[2 * i]), h = get_u16(&tab[2 * (n + i)]), dw, dh;
        uint32_t anm = get_u32(&tab[4 * (n + i)]);
        comparetile(&was, int32_t(first + i), w, h, anm);
        if (w == 0 || h == 0) {
            endtile(&was);
            continue;
        }
        std::string image = tilename(dir, int32_t(first + i), "png");
        pixels px;
        int e = readimage(image, &fds[i], filesize[i], file);
        if (fds[i] >= 0)
            close(fds[i]);  // read: the room it held goes to the next ones opened again
        fds[i] = -1;
        if (e)
            return e;
        if ((e = decodetile(file, image, rgba[i], p, cache.get(), &dw, &dh, &px)))
            return e;
        if (dw != w || dh != h)
            return changed(image);
        size_t k = std::max<size_t>(16, strip.size() / h / 16 * 16);
        for (size_t x = 0; x < w; x += k) {
            size_t cols = std::min<size_t>(k, w - x);
            transposeband(px.get() + x, h, cols, w, strip.data());
            outwrite(out.get(), strip.data(), cols * h);
            comparecolumns(&was, strip.data(), cols * h);
        }
        endtile(&was);
    }
    donecomparing(&was);
    if (int e = outcommit(std::move(out)))
        return report(1, "%s: can't write archive: %s", archive, strerror(e));
    saychanges(&was);
    return 0;
}
