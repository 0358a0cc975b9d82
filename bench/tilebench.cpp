// vrel dump and pump of five archives, flat art and textures, on a tmpfs
// and on disk: the dump against LodePNG's own encoder writing the same
// files, against writing the dump's bytes without encoding and against
// a Pillow script; the pump against LodePNG's decoder and one write; the
// dump's PNG bytes against LodePNG's own; the pump's peak memory; and the
// pump of true-colour tiles against decoding them and matching every pixel.
//   tilebench path/to/vrel path/to/peakrss workdir path/to/python3 path/to/pildump.py
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <lodepng.h>
#include <random>
#include <unistd.h>

#include "art.h"
#include "benchutil.h"
#include "bruteforce.h"
#include "fixbytes.h"
#include "tilesets.h"
#include "zcodec.h"

static void save(const std::string &path, const void *p, size_t n)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(p, 1, n, f) != n || fclose(f) != 0) {
        fprintf(stderr, "tilebench: can't write %s\n", path.c_str());
        exit(1);
    }
}

static std::string load(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    char buf[1 << 16];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    if (f)
        fclose(f);
    return s;
}

// The dump's work done by LodePNG alone, its encoder's defaults: read the
// archive, encode every tile under the same settings and write the files.
static void basedump(const std::string &artpath, const palette &pal, const std::string &dir)
{
    std::string a = load(artpath);
    auto get = [&](size_t o, int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; k++)
            v |= uint32_t(uint8_t(a[o + k])) << 8 * k;
        return v;
    };
    int32_t first = int32_t(get(8, 4)), n = int32_t(get(12, 4)) - first + 1;
    LodePNGState st;
    lodepng_state_init(&st);
    for (int k = 0; k < 256; k++) {
        lodepng_palette_add(&st.info_png.color, uint8_t(pal.r[k]), uint8_t(pal.g[k]), uint8_t(pal.b[k]), 255);
        lodepng_palette_add(&st.info_raw, uint8_t(pal.r[k]), uint8_t(pal.g[k]), uint8_t(pal.b[k]), 255);
    }
    st.info_png.color.colortype = st.info_raw.colortype = LCT_PALETTE;
    st.info_png.color.bitdepth = st.info_raw.bitdepth = 8;
    st.encoder.auto_convert = 0;
    size_t off = 16 + 8 * size_t(n);
    std::vector<unsigned char> row;
    for (int i = 0; i < n; i++) {
        unsigned w = get(16 + 2 * i, 2), h = get(16 + 2 * (n + i), 2);
        row.resize(size_t(w) * h);
        transpose(reinterpret_cast<const unsigned char *>(&a[off]), w, h, row.data());   // as the dump does
        off += row.size();
        unsigned char *png;
        size_t size;
        lodepng_encode(&png, &size, row.data(), w, h, &st);
        char name[64];
        snprintf(name, sizeof name, "/tile%03d.png", first + i);
        save(dir + name, png, size);
        if (uint32_t anm = get(16 + 4 * n + 4 * i, 4)) {
            char text[64];
            int len = snprintf(text, sizeof text, "- frames: %u\n- animspeed: %u\n", anm & 63, anm >> 24 & 15);
            snprintf(name, sizeof name, "/tile%03d.yaml", first + i);
            save(dir + name, text, size_t(len));
        }
        free(png);
    }
    lodepng_state_cleanup(&st);
}

// The floor under any dump: the files one wrote, held in memory, each
// created under a temporary name, written and renamed into dir.
static void floorwrite(const std::map<std::string, std::string> &files, const std::string &dir)
{
    for (const auto &[name, bytes] : files) {
        std::string tmp = dir + "/." + name + ".tmp", path = dir + "/" + name;
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
        if (fd < 0 || close(fd) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
            fprintf(stderr, "tilebench: can't write %s\n", path.c_str());
            exit(1);
        }
    }
}

// Decodes tile i of dir: its stored samples, or RGBA when rgba is set.
// The caller frees the pixels.
static unsigned char *decodefile(const std::string &dir, int i, bool rgba, unsigned *w, unsigned *h)
{
    char name[64];
    snprintf(name, sizeof name, "/tile%03d.png", i);
    unsigned char *file, *px = nullptr;
    size_t size;
    lodepng_load_file(&file, &size, (dir + name).c_str());
    LodePNGState st;
    lodepng_state_init(&st);
    st.decoder.color_convert = rgba;    // info_raw is RGBA 8 from the start
    lodepng_decode(&px, w, h, &st, file, size);
    lodepng_state_cleanup(&st);
    free(file);
    return px;
}

// The pump's LodePNG work and its one write: load and decode every image
// of the directory and write the decoded pixels to one file, synced as the
// pump syncs its archive when durable.
static void basepump(const std::string &dir, int n, const std::string &out, bool durable)
{
    FILE *f = fopen(out.c_str(), "wb");
    for (int i = 0; i < n; i++) {
        unsigned w, h;
        unsigned char *px = decodefile(dir, i, false, &w, &h);
        fwrite(px, 1, size_t(w) * h, f);
        free(px);
    }
    fflush(f);
    if (durable)
        fsync(fileno(f));
    fclose(f);
}

// Decoding to RGBA and matching every pixel by brute force: what the pump
// does with true-colour tiles, without remembering any colour.
static void basematch(const std::string &dir, int n, const palette &pal)
{
    std::vector<unsigned char> idx;
    for (int i = 0; i < n; i++) {
        unsigned w, h;
        unsigned char *px = decodefile(dir, i, true, &w, &h);
        idx.resize(size_t(w) * h);
        bruteforce(px, idx.size(), pal, idx.data());
        free(px);
    }
}

static uint64_t pngbytes(const std::string &dir)
{
    uint64_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".png")
            n += e.file_size();
    return n;
}

// The dump and the pump of one archive in base, a directory on the medium
// measured, against their baselines; the dump's PNG bytes when sizes is
// set. Returns the directory our last dump wrote.
static std::string dumpandpump(const std::string &vrel, const std::vector<std::string> &pildump,
                               const std::string &base,
                               const std::vector<fixtile> &tiles, int runs, bool sizes)
{
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    std::string art = makeart(0, int32_t(tiles.size() - 1), tiles, 1, uint32_t(tiles.size())), artpath = base + "/tiles.art", palpath = base + "/pal.dat";
    save(artpath, art.data(), art.size());
    std::string paldata;
    for (int k = 0; k < 768; k++)
        paldata += char(k * 7 % 64);
    save(palpath, paldata.data(), paldata.size());
    palette pal;
    loadpalette(palpath.c_str(), &pal);

    // the files of a dump, for the floor
    std::string model = base + "/model";
    std::filesystem::create_directories(model);
    runprog({vrel, "dump", artpath, palpath, model});
    std::map<std::string, std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(model))
        files[e.path().filename()] = load(e.path());
    std::filesystem::remove_all(model);

    // every dump writes into a directory of its own, as a first dump does
    int fresh = 0;
    std::string dirs[4];
    auto setup = [&](size_t k) {
        std::filesystem::remove_all(dirs[k]);
        dirs[k] = base + "/d" + std::to_string(fresh++);
        std::filesystem::create_directories(dirs[k]);
        sync();
    };
    std::vector<timing> t = interleaven(runs, {
        [&] { runprog({vrel, "dump", artpath, palpath, dirs[0]}); },
        [&] { basedump(artpath, pal, dirs[1]); },
        [&] { floorwrite(files, dirs[2]); },
        [&] { runprog({pildump[0], pildump[1], artpath, palpath, dirs[3]}); }}, setup);
    row2("dump vs LodePNG default encode + write", t[0], t[1]);
    row2("dump vs writing its files without encoding", t[0], t[2]);
    row2("dump vs a Pillow script", t[0], t[3]);
    // a dump over the last one, its replacements renamed in synced batches,
    // against a first dump into a fresh directory
    std::string first = base + "/first";
    t = interleaven(runs, {
        [&] { runprog({vrel, "dump", artpath, palpath, dirs[0]}); },
        [&] { runprog({vrel, "dump", artpath, palpath, first}); }}, [&](size_t k) {
            if (k == 1) {
                std::filesystem::remove_all(first);
                std::filesystem::create_directories(first);
            }
            sync();
        });
    row2("re-dump over the last dump vs a first dump", t[0], t[1]);
    std::filesystem::remove_all(first);
    if (sizes) {
        uint64_t ours = pngbytes(dirs[0]), lode = pngbytes(dirs[1]);
        printf("%-48s %10llu B %10llu B %6.4fx\n", "dump's PNG bytes vs LodePNG default", (unsigned long long)ours,
               (unsigned long long)lode, double(ours) / double(lode));
    }

    // the pump of LodePNG's PNGs and of ours, each giving back the archive
    // (the baseline's sidecars keep only two fields: its anm words differ)
    std::string lodeart = base + "/lode.art", ourart = base + "/ours.art", basefile = base + "/base.bin";
    t = interleaven(runs, {
        [&] { runprog({vrel, "pump", lodeart, palpath, dirs[1]}); },
        [&] { runprog({vrel, "pump", ourart, palpath, dirs[0]}); },
        [&] { basepump(dirs[1], int(tiles.size()), basefile, false); },
        [&] { basepump(dirs[1], int(tiles.size()), basefile, true); }});
    row2("pump vs LodePNG default decode + write", t[0], t[2]);
    row2("pump of our PNGs vs the same", t[1], t[2]);
    row2("pump vs LodePNG default decode + synced write", t[0], t[3]);
    // over the archive the last pump wrote, each tile compared with the one
    // it replaces, against a pump to a new file
    std::string newart = base + "/new.art";
    t = interleaven(runs, {
        [&] { runprog({vrel, "pump", ourart, palpath, dirs[0]}); },
        [&] { runprog({vrel, "pump", newart, palpath, dirs[0]}); }}, [&](size_t k) {
            if (k == 1)
                std::filesystem::remove(newart);
        });
    row2("pump over its last archive vs to a new file", t[0], t[1]);
    std::filesystem::remove(newart);
    size_t anm = 16 + 4 * tiles.size();
    std::string lode = load(lodeart);
    if (load(ourart).substr(16) != art.substr(16) || lode.substr(16, anm - 16) != art.substr(16, anm - 16) ||
        lode.substr(anm + 4 * tiles.size()) != art.substr(anm + 4 * tiles.size()))
        fprintf(stderr, "tilebench: the pump did not give back the archive in %s\n", base.c_str());
    for (int k = 1; k < 4; k++)
        std::filesystem::remove_all(dirs[k]);
    return dirs[0];
}

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: %s path/to/vrel path/to/peakrss workdir path/to/python3 path/to/pildump.py\n",
                argv[0]);
        return 1;
    }
    std::string vrel = argv[1], helper = argv[2], work = argv[3];
    std::vector<std::string> pildump = {argv[4], argv[5]};
    const int runs = 9;
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work + "/rgba");
    // a tmpfs shows the codec's work; this disk's cost of creating a file
    // swings two- to threefold from run to run
    std::string shm = "/dev/shm/tilebench." + std::to_string(getpid());
    std::vector<std::pair<std::string, std::string>> media = {{"disk", work + "/disk"}};
    if (access("/dev/shm", W_OK) == 0)
        media.insert(media.begin(), {"tmpfs", shm});

    std::vector<tileset> sets = benchsets();
    std::string ours4000;
    std::vector<fixtile> tiles4000;
    printf("medians of %d interleaved runs; ratios ours / baseline\n", runs);
    for (const auto &set : sets) {
        const std::vector<fixtile> &tiles = set.tiles;
        size_t pixels = 0;
        std::map<int, int> levels;     // the dump's deflate level: how many tiles take each
        for (const auto &t : tiles) {
            pixels += t.cols.size();
            levels[zlevel(size_t(t.w + 1) * t.h)]++;
        }
        std::string used;
        for (auto [level, n] : levels)
            used += (used.empty() ? "" : ", ") + std::to_string(n) + " at " + std::to_string(level);
        for (const auto &[medium, dir] : media) {
            printf("\n%s, %.1f MB of pixels, on %s; deflate levels: %s\n", set.what, pixels / 1e6,
                   medium.c_str(), used.c_str());
            printf("%-48s %7s %7s %7s %7s %7s %7s\n", "", "wall s", "base", "ratio", "CPU s", "base", "ratio");
            std::string d = dumpandpump(vrel, pildump, dir + "/set", tiles, runs, medium == media[0].first);
            if (&set == &sets[0] && medium == "disk")
                ours4000 = d, tiles4000 = tiles;
        }
        std::filesystem::remove_all(shm);
    }

    std::string backart = work + "/back.art", palpath = work + "/disk/set/pal.dat";
    long rss = peakrss(helper, {vrel, "pump", backart, palpath, ours4000});
    size_t largest = 0;
    for (const auto &t : tiles4000)
        largest = std::max(largest, t.cols.size());
    printf("\n%-34s %10.1f MB %10.1f MB %+7.1f MB\n", "pump peak memory vs largest tile", rss / 1024.0,
           largest / 1048576.0, rss / 1024.0 - largest / 1048576.0);
    palette pal;
    loadpalette(palpath.c_str(), &pal);
    // True colour: 256 tiles of 128 x 128, flat colours, gradients and noise
    const int rgbacount = 256;
    std::mt19937 rng(7);
    size_t rgbapx = 0;
    for (int i = 0; i < rgbacount; i++) {
        std::vector<unsigned char> rgba;
        int kind = i % 3;
        uint8_t base[3] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        for (unsigned y = 0; y < 128; y++)
            for (unsigned x = 0; x < 128; x++) {
                uint8_t a = x < 8 && y < 8 ? 0 : 255;
                if (kind == 0)          // a few flat areas
                    rgba.insert(rgba.end(), {uint8_t(base[0] + (x / 32) * 40), base[1], uint8_t(base[2] + (y / 64) * 80), a});
                else if (kind == 1)     // gradients
                    rgba.insert(rgba.end(), {uint8_t(x * 2), uint8_t(y * 2), uint8_t(base[2] + (x + y) / 2), a});
                else
                    rgba.insert(rgba.end(), {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), a});
            }
        unsigned char *png;
        size_t size;
        lodepng_encode32(&png, &size, rgba.data(), 128, 128);
        char name[64];
        snprintf(name, sizeof name, "/tile%03d.png", i);
        save(work + "/rgba" + name, png, size);
        free(png);
        snprintf(name, sizeof name, "/tile%03d.yaml", i);
        save(work + "/rgba" + name, "- rgba: 1\n", 10);
        rgbapx += rgba.size() / 4;
    }
    auto [m, bm] = interleave(runs, [&] { runprog({vrel, "pump", work + "/rgba.art", palpath, work + "/rgba"}); },
                              [&] { basematch(work + "/rgba", rgbacount, pal); });
    printf("%-34s %8.1f Mpx/s %8.1f Mpx/s %7.2fx\n", "true-colour pump vs decode + brute", rgbapx / m / 1e6,
           rgbapx / bm / 1e6, m / bm);
    if (!getenv("KEEP"))
        std::filesystem::remove_all(work);
    return 0;
}
