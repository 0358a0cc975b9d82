// vrel testanm against a bare loop of the same arithmetic.
#include <cstdint>

#include "benchutil.h"

// The codec written out by hand, as a baseline the compiler sees whole.
static uint32_t bareloop()
{
    uint32_t bad = 0;
    for (uint32_t w = 0; w <= 0x0FFFFFFF; w++) {
        uint32_t v = w;
        asm("" : "+r"(v));  // hide that v is w, or the compiler proves the round trip
        uint32_t frames = v & 0x3F, type = (v >> 6) & 3, speed = (v >> 24) & 0xF;
        int8_t xc = int8_t(v >> 8), yc = int8_t(v >> 16);
        uint32_t back = (frames & 0x3F) | ((type << 6) & 0xFF) | uint32_t(uint8_t(xc)) << 8 |
                        uint32_t(uint8_t(yc)) << 16 | ((speed << 24) & 0x0F000000);
        bad += back != w;
    }
    return bad;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s path/to/vrel\n", argv[0]);
        return 1;
    }
    std::string vrel = argv[1];
    volatile uint32_t sink = 0;
    auto [ours, base] = interleave(7, [&] { runprog({vrel, "testanm"}); },
                                   [&] { sink = sink + bareloop(); });
    printf("%-34s %12s %12s %8s\n", "benchmark (median of 7)", "ours", "baseline", "ratio");
    row("vrel testanm vs bare loop", ours, base);
    return sink != 0;
}
