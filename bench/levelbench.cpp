// The dump's deflate level, measured: for every tile set, the CPU time of
// encoding its tiles in this process and their PNG bytes at each libdeflate
// level, against LodePNG's own encoder with its default settings; then the
// same by tile size over all sets, and the level the dump picks for each.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <lodepng.h>
#include <string>
#include <vector>

#include "art.h"
#include "benchutil.h"
#include "tilesets.h"
#include "zcodec.h"

static double cpunow()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct tilecost {
    size_t bytes;   // filtered image bytes: what is deflated
    double cpu;
    size_t png;
};

// Encodes every tile as the dump does, at level (0: LodePNG's own deflate),
// a median of runs timings per tile.
static std::vector<tilecost> encodeall(const std::vector<fixtile> &tiles, int level, int runs)
{
    LodePNGState st;
    lodepng_state_init(&st);
    for (int k = 0; k < 256; k++) {
        lodepng_palette_add(&st.info_png.color, uint8_t(k), uint8_t(k * 7), uint8_t(k * 13), 255);
        lodepng_palette_add(&st.info_raw, uint8_t(k), uint8_t(k * 7), uint8_t(k * 13), 255);
    }
    st.info_png.color.colortype = st.info_raw.colortype = LCT_PALETTE;
    st.info_png.color.bitdepth = st.info_raw.bitdepth = 8;
    st.encoder.auto_convert = 0;
    std::vector<tilecost> r;
    std::vector<unsigned char> rows;
    for (const fixtile &t : tiles) {
        rows.resize(t.cols.size());
        transpose(reinterpret_cast<const unsigned char *>(t.cols.data()), t.w, t.h, rows.data());
        std::vector<double> cpu;
        size_t size = 0;
        for (int i = 0; i < runs; i++) {
            unsigned char *png;
            double c = cpunow();
            unsigned e = level ? zencode(&png, &size, rows.data(), t.w, t.h, &st, level)
                               : lodepng_encode(&png, &size, rows.data(), t.w, t.h, &st);
            cpu.push_back(cpunow() - c);
            if (e) {
                fprintf(stderr, "levelbench: %s\n", lodepng_error_text(e));
                exit(1);
            }
            free(png);
        }
        r.push_back({size_t(t.w + 1) * t.h, median(cpu), size});
    }
    lodepng_state_cleanup(&st);
    return r;
}

int main()
{
    std::vector<tileset> sets = benchsets();
    const int runs = 3, levels = 12;
    // by filtered bytes: under 1 KiB, 2, 8, 64, 256 KiB, and more
    const size_t bounds[] = {1024, 2048, 8192, 65536, 262144, SIZE_MAX};
    const int classes = 6;
    double cpu[levels + 1][classes] = {}, png[levels + 1][classes] = {};
    int count[classes] = {};
    printf("encode CPU and PNG bytes against LodePNG's default encoder; medians of %d runs a tile\n", runs);
    for (const tileset &s : sets) {
        printf("\n%s\n%-8s %9s %7s %11s %7s\n", s.what, "level", "CPU s", "ratio", "PNG bytes", "ratio");
        std::vector<tilecost> base;
        for (int l = 0; l <= levels; l++) {
            std::vector<tilecost> r = encodeall(s.tiles, l, runs);
            if (l == 0)
                base = r;
            double c = 0, cb = 0;
            size_t p = 0, pb = 0;
            for (size_t i = 0; i < r.size(); i++) {
                c += r[i].cpu, cb += base[i].cpu, p += r[i].png, pb += base[i].png;
                int k = 0;
                while (r[i].bytes >= bounds[k])
                    k++;
                cpu[l][k] += r[i].cpu, png[l][k] += double(r[i].png);
                count[k] += l == 0;
            }
            printf("%-8s %9.3f %6.3fx %11zu %6.4fx%s\n", l ? std::to_string(l).c_str() : "LodePNG", c, c / cb, p,
                   double(p) / double(pb), l == 9 ? "  (the level of earlier versions)" : "");
        }
    }
    printf("\nall sets by filtered bytes: CPU ratio / PNG bytes ratio against LodePNG's default\n%-8s", "level");
    for (int k = 0; k < classes; k++)
        printf(" %8s%-6s", k ? std::to_string(bounds[k - 1] / 1024).c_str() : "0", "K+");
    for (int l = 1; l <= levels; l++) {
        printf("\n%-8d", l);
        for (int k = 0; k < classes; k++)
            printf(" %5.2f/%.4f", cpu[l][k] / cpu[0][k], png[l][k] / png[0][k]);
    }
    printf("\n%-8s", "tiles");
    for (int k = 0; k < classes; k++)
        printf(" %14d", count[k]);
    printf("\n%-8s", "dump's");
    for (int k = 0; k < classes; k++)
        printf(" %14d", zlevel(k ? bounds[k - 1] : 0));
    printf("\n");
    return 0;
}
