#include <cerrno>
#include <cstdio>
#include <cstring>
#include <lua.hpp>
#include <new>

#include "outfile.h"
#include "zbqtool.h"

// The one Lua state, made at start-up and never closed: closing it would
// run the script's finalizers after the pump, free to print or exit.
lua_State *L;

// Runs an operation; running out of memory anywhere in it is a failure
// like any other, its outputs cleaned up as the stack unwinds. The
// operations' lines go to standard output, so a write to it that failed
// (a full disk, a closed pipe) fails the run too.
static int guarded(int (*op)(char **), char **argv)
{
    int ret = 2;
    try {
        ret = op(argv);
    } catch (const std::bad_alloc &) {
        printf("out of memory\n");
    }
    if ((fflush(stdout) != 0 || ferror(stdout)) && ret == 0) {
        fprintf(stderr, "can't write standard output: %s\n", strerror(errno ? errno : EIO));
        ret = 2;
    }
    return ret;
}

static int dumpargs(char **argv) { return dump(argv[2], argv[3]); }
static int pumpargs(char **argv) { return pump(L, argv[2], argv[3]); }

int main(int argc, char **argv)
{
    fprintf(stderr, "welcome to zbqtool, an elaborate .zbq pump & dump scheme\n");
    outsignals();
    L = luaL_newstate();
    if (!L) {
        fprintf(stderr, "can't create the Lua state\n");
        return 2;
    }
    luaL_openlibs(L);

    if (argc > 3 && strcmp(argv[1], "dump") == 0) {
        if (guarded(dumpargs, argv) != 0) {
            fprintf(stderr, "error in dumping\n");
            return 2;
        }
        return 0;
    }
    if (argc > 3 && strcmp(argv[1], "pump") == 0) {
        if (guarded(pumpargs, argv) != 0) {
            fprintf(stderr, "error in pumping\n");
            return 2;
        }
        return 0;
    }
    const char *prog = argc > 0 ? argv[0] : "zbqtool";
    fprintf(stderr, "usage 1: %s dump waves.zbq outpath/\n", prog);
    fprintf(stderr, "usage 2: %s pump waves.zbq inpath/\n", prog);
    return 1;
}
