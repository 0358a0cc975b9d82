#include <cstdio>
#include <cstring>
#include <new>

#include "art.h"
#include "outfile.h"
#include "vrel.h"

// Runs dump or pump; running out of memory anywhere in it is a failure
// like any other, its outputs cleaned up as the stack unwinds.
static int guarded(int (*op)(const char *, const char *, const char *), char **argv)
{
    try {
        return op(argv[2], argv[3], argv[4]);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "out of memory\n");
    }
    return 2;
}

int main(int argc, char **argv)
{
    fprintf(stderr, "welcome to vrel (vrelio + art), an elaborate .art pump & dump scheme\n");
    outsignals();
    if (argc >= 5 && strcmp(argv[1], "dump") == 0) {
        if (guarded(dump, argv) != 0) {
            fprintf(stderr, "error in dumping\n");
            return 2;
        }
        return 0;
    }
    if (argc >= 5 && strcmp(argv[1], "pump") == 0) {
        if (guarded(pump, argv) != 0) {
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
    fprintf(stderr, "usage 1: %s dump tiles0000.art palette.dat outpath/\n", prog);
    fprintf(stderr, "usage 2: %s pump tiles0000.art palette.dat inpath/\n", prog);
    return 1;
}
