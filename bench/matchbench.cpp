// Colour matching of true-colour tiles against a bare brute-force loop built
// for this machine's own instruction set.
#include <cstdint>
#include <memory>
#include <random>

#include "benchutil.h"
#include "bruteforce.h"
#include "match.h"

int main()
{
    // 4 million pixels: gradients, flat areas and noise, a few transparent
    const size_t count = 1 << 22;
    std::vector<unsigned char> rgba(4 * count), a(count), b(count);
    std::mt19937 rng(1);
    for (size_t i = 0; i < count; i++) {
        size_t x = i % 512, y = i / 512;
        unsigned char *p = &rgba[4 * i];
        switch (y / 64 % 3) {
        case 0: p[0] = uint8_t(x / 2), p[1] = uint8_t(y), p[2] = uint8_t(255 - x / 2); break;
        case 1: p[0] = 200, p[1] = 120, p[2] = 40; break;
        default: p[0] = uint8_t(rng()), p[1] = uint8_t(rng()), p[2] = uint8_t(rng());
        }
        p[3] = x % 61 == 0 ? 0 : 255;
    }
    palette pal;
    for (int k = 0; k < 256; k++)
        pal.r[k] = (k * 37 % 64) * 4, pal.g[k] = (k * 11 % 64) * 4, pal.b[k] = (k % 64) * 4;

    auto [ours, base] = interleave(7, [&] {
        auto cache = std::make_unique<colourcache>();
        matchcolours(rgba.data(), count, pal, cache.get(), a.data());
    },
                                   [&] { bruteforce(rgba.data(), count, pal, b.data()); });
    if (a != b) {
        fprintf(stderr, "matchbench: results differ\n");
        return 1;
    }
    printf("%-34s %12s %12s %8s\n", "colour matching (Mpixel/s)", "ours", "baseline", "ratio");
    printf("%-34s %12.1f %12.1f %7.2fx\n", "vrel matchcolours vs bare loop", count / ours / 1e6,
           count / base / 1e6, base / ours);
    return 0;
}
