#include "art.h"

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

void testanm()
{
    for (uint32_t w = 0; w <= 0x0FFFFFFF; w++) {
        if ((w & 0xFFFFFF) == 0)
            fprintf(stderr, "progress %X\n", w);
        int32_t frames = 0, animtype = 0, animspeed = 0;
        int8_t xcenter = 0, ycenter = 0;
        decodeanm(w, &frames, &animtype, &xcenter, &ycenter, &animspeed);
        uint32_t back = encodeanm(frames, animtype, xcenter, ycenter, animspeed);
        if (back != w)
            fprintf(stderr, "ERROR %X vs. %X - %d %d %d %d %d\n", w, back, frames, animtype,
                    xcenter, ycenter, animspeed);
    }
    fprintf(stderr, "done.\n");
}
