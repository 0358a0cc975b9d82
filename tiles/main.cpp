#include <cstdio>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "outfile.h"
#include "report.h"
#include "vrel.h"

static int dumpargs(char **argv) { return dump(argv[2], argv[3], argv[4]); }
static int pumpargs(char **argv) { return pump(argv[2], argv[3], argv[4]); }

int main(int argc, char **argv)
{
    keepouterr();
    fprintf(stderr, "welcome to vrel (vrelio + art), an elaborate .art pump & dump scheme\n");
    setprogram("vrel", stderr);
    outsignals();
    // Each tile's buffers, freed, serve the next tile: handed back to the
    // kernel, they would be faulted in again page by page.
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
    if (argc >= 5 && strcmp(argv[1], "dump") == 0) {
        if (guarded(dumpargs, argv) != 0) {
            fprintf(stderr, "error in dumping\n");
            return 2;
        }
        return 0;
    }
    if (argc >= 5 && strcmp(argv[1], "pump") == 0) {
        if (guarded(pumpargs, argv) != 0) {
            fprintf(stderr, "error in pumping\n");
            return 2;
        }
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "testanm") == 0) {
        fprintf(stderr, "secret anmflag testing mode\n");
        testanm();
        return 0;
    }
    const char *prog = argc > 0 ? argv[0] : "vrel";
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("vrel " VERSION "\n");
        return flushed();
    }
    if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
        printf("usage: %s dump archive palette dir    archive to tile images and sidecars in dir\n"
               "       %s pump archive palette dir    tile images and sidecars in dir to archive\n"
               "palette: a file of 256 RGB entries of 6-bit values, or blood:file of 8-bit values.\n"
               "See vrel(1).\n", prog, prog);
        return flushed();
    }
    fprintf(stderr, "usage 1: %s dump tiles0000.art palette.dat outpath/\n", prog);
    fprintf(stderr, "usage 2: %s pump tiles0000.art palette.dat inpath/\n", prog);
    return 1;
}
