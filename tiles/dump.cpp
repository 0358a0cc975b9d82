#include <algorithm>
#include <cerrno>
#include <cstring>
#include <lodepng.h>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "art.h"
#include "outfile.h"
#include "platform.h"
#include "report.h"
#include "tiledir.h"
#include "vrel.h"
#include "zcodec.h"

using filep = std::unique_ptr<FILE, int (*)(FILE *)>;
using bytes = std::vector<unsigned char>;

// Reads n bytes into buf. The buffer grows with the data that actually
// arrives, so a size the file can't back never sizes an allocation.
// Returns false on a short read.
static bool readblock(FILE *f, uint64_t n, bytes &buf)
{
    const uint64_t step = 1 << 24;
    buf.clear();
    while (buf.size() < n) {
        size_t have = buf.size(), want = size_t(std::min(step, n - have));
        buf.resize(have + want);
        if (fread(buf.data() + have, 1, want, f) != want)
            return false;
    }
    return true;
}

// A read of the archive that failed, where it did not just end.
static int cantread(const char *archive)
{
    return report(4, "%s: can't read archive: %s", archive, strerror(errno));
}

static int shortpixels(const char *archive, int32_t t)
{
    return report(4, "%s: archive ends inside the pixels of tile %d", archive, t);
}

static uint64_t tilesize(const bytes &tab, uint64_t n, uint64_t i)
{
    return tilesize(tab.data(), n, i);
}

// Tile files in dir that this dump did not write, which the next pump
// would take in beside the archive's own: a note of how many, naming the
// first few. None when dir can't be read to the end: the count would be
// wrong.
static void notestrays(const char *dir, const bytes &tab, int64_t n, int32_t first)
{
    std::vector<std::string> entries, strays;
    if (listnames(dir, &entries) != 0)
        return;
    for (const std::string &e : entries) {
        int64_t t;
        if (!tilenumber(e.c_str(), &t))
            continue;
        int64_t i = t - first;
        bool ours = false;
        if (i >= 0 && i < n && tilesize(tab, n, i) > 0) {
            std::string name = "/" + e;
            ours = name == tilename("", int32_t(t), "png") ||
                   (name == tilename("", int32_t(t), "yaml") && (get_u32(&tab[4 * (n + i)]) & 0x0FFFFFFF));
        }
        if (!ours)
            strays.push_back(e);
    }
    if (strays.empty())
        return;
    std::sort(strays.begin(), strays.end());
    std::string names;
    for (size_t k = 0; k < strays.size() && k < 3; k++)
        names += (k ? ", " : "") + strays[k];
    if (strays.size() > 3)
        names += ", ...";
    if (strays.size() == 1)
        note("%s: 1 tile file not from this archive, which a pump would take in: %s", dir, names.c_str());
    else
        note("%s: %llu tile files not from this archive, which a pump would take in: %s", dir,
             (unsigned long long)strays.size(), names.c_str());
}

// The shared encoder state: 8-bit palette images carrying all 256 entries,
// pixel bytes stored as they are.
static void setupencoder(LodePNGState *st, const palette &pal)
{
    for (int k = 0; k < 256; k++) {
        // in-memory channels may exceed a byte; the image keeps the low 8 bits
        uint8_t r = uint8_t(pal.r[k]), g = uint8_t(pal.g[k]), b = uint8_t(pal.b[k]);
        lodepng_palette_add(&st->info_png.color, r, g, b, 255);
        lodepng_palette_add(&st->info_raw, r, g, b, 255);
    }
    st->info_png.color.colortype = LCT_PALETTE;
    st->info_png.color.bitdepth = 8;
    st->info_raw.colortype = LCT_PALETTE;
    st->info_raw.bitdepth = 8;
    st->encoder.auto_convert = 0;
}

int dump(const char *archive, const char *pal, const char *dir)
{
    filep f(openinput(archive), fclose);
    struct stat st;
    if (!f || fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode))
        return 1;   // a directory opens for reading, but holds no archive
    bool regular = S_ISREG(st.st_mode);

    // Header; the count is taken from first and last, never from numtiles
    int32_t version = int32_t(read_u32(f.get()));
    int32_t reported = int32_t(read_u32(f.get()));
    int32_t first = int32_t(read_u32(f.get()));
    int32_t last = int32_t(read_u32(f.get()));
    if (ferror(f.get()))
        return cantread(archive);
    if (feof(f.get()))
        return report(4, "%s: archive ends inside its header", archive);
    int64_t n = int64_t(last) - first + 1;
    fprintf(stderr, "dump mode: version %d, numtiles %lld (reported %d), firsttile %d, lasttile %d\n",
            version, (long long)n, reported, first, last);
    if (n < 0)
        return report(4, "%s: lasttile %d is below firsttile %d - 1", archive, last, first);

    // Tables: widths, heights, anm words, 8 bytes a tile. A regular file
    // must hold them and every tile's pixels before anything is written.
    uint64_t left = regular ? uint64_t(st.st_size) - 16 : 0;
    bytes tab;
    if ((regular && uint64_t(n) * 8 > left) || !readblock(f.get(), uint64_t(n) * 8, tab))
        return ferror(f.get()) ? cantread(archive) : report(4, "%s: archive ends inside its tile tables", archive);
    if (regular) {
        left -= uint64_t(n) * 8;
        for (int64_t i = 0; i < n; i++) {
            uint64_t p = tilesize(tab, n, i);
            if (p > left)
                return shortpixels(archive, int32_t(first + i));
            left -= p;
        }
    }

    LodePNGState enc;
    lodepng_state_init(&enc);
    std::unique_ptr<LodePNGState, void (*)(LodePNGState *)> keep(&enc, lodepng_state_cleanup);
    palette p;
    if (!loadpalette(pal, &p))
        return 2;
    setupencoder(&enc, p);

    bytes col, row;
    for (int64_t i = 0; i < n; i++) {
        unsigned w = get_u16(&tab[2 * i]), h = get_u16(&tab[2 * (n + i)]);
        uint64_t size = tilesize(tab, n, i);
        int32_t t = int32_t(first + i);
        if (size == 0)
            continue;
        sidecar s{};
        decodeanm(get_u32(&tab[4 * (n + i)]), &s.frames, &s.animtype, &s.xcenter, &s.ycenter,
                  &s.animspeed);
        if (!readblock(f.get(), size, col))
            return ferror(f.get()) ? cantread(archive) : shortpixels(archive, t);

        // The sidecar goes first: a tile whose sidecar fails gets no image
        std::string text = sidecartext(s);
        if (!text.empty()) {
            std::string name = tilename(dir, t, "yaml");
            if (int err = savefile(name, text.data(), text.size()))
                return report(3, "%s: can't write sidecar: %s", name.c_str(), strerror(err));
        }

        // Columns in the archive, rows in the image
        row.resize(size);
        transpose(col.data(), w, h, row.data());

        std::string name = tilename(dir, t, "png");
        unsigned char *png = nullptr;
        size_t pngsize = 0;
        unsigned e = zencode(&png, &pngsize, row.data(), w, h, &enc);
        std::unique_ptr<unsigned char, void (*)(void *)> owned(png, free);
        if (e)
            return report(3, "%s: can't encode image: %s", name.c_str(), lodepng_error_text(e));
        if (int err = savefile(name, png, pngsize))
            return report(3, "%s: can't write image: %s", name.c_str(), strerror(err));
    }
    if (int err = outsync())
        return report(3, "%s: can't sync: %s", dir, strerror(err));
    notestrays(dir, tab, n, first);
    return 0;
}
