#include <cerrno>
#include <cstdio>
#include <cstring>
#include <lua.hpp>
#include <unistd.h>

#include "outfile.h"
#include "report.h"
#include "zbqtool.h"

// The one Lua state, made at start-up and never closed: closing it would
// run the script's finalizers after the pump, free to print or exit.
lua_State *L;

static int dumpargs(char **argv) { return dump(argv[2], argv[3]); }
static int pumpargs(char **argv) { return pump(L, argv[2], argv[3]); }

// The first error writing standard output. Stdio drops a buffer it could
// not write, so by the end of the run a failed write may leave nothing to
// flush, and errno long since says something else.
static int outerr;

static ssize_t writeout(void *, const char *p, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(STDOUT_FILENO, p + done, n - done);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            outerr = outerr ? outerr : k < 0 ? errno : EIO;
            break;
        }
        done += size_t(k);
    }
    return ssize_t(done);   // short: stdio marks the stream failed
}

// Standard output as a stream of ours, made before Lua takes it for io.stdout.
static void keepouterr()
{
    cookie_io_functions_t io = {nullptr, writeout, nullptr, nullptr};
    FILE *f = fopencookie(nullptr, "w", io);
    if (!f)
        return;     // stdout as it is: a failure may then say only EIO
    if (isatty(STDOUT_FILENO))
        setvbuf(f, nullptr, _IOLBF, 0);
    stdout = f;
}

// The operations' lines go to standard output: a write to it that failed
// (a full disk, a closed pipe) fails the run too, once its files are whole.
static int run(int (*op)(char **), char **argv)
{
    int ret = guarded(op, argv);
    if ((fflush(stdout) != 0 || ferror(stdout)) && ret == 0) {
        fprintf(stderr, "can't write standard output: %s\n", strerror(outerr ? outerr : EIO));
        ret = 2;
    }
    return ret;
}

static int openlibs(lua_State *L)
{
    luaL_openlibs(L);
    return 0;
}

int main(int argc, char **argv)
{
    fprintf(stderr, "welcome to zbqtool, an elaborate .zbq pump & dump scheme\n");
    outsignals();
    keepouterr();
    L = luaL_newstate();
    if (!L || (lua_pushcfunction(L, openlibs), lua_pcall(L, 0, 0, 0)) != LUA_OK) {
        fprintf(stderr, "can't create the Lua state\n");
        return 2;
    }

    if (argc > 3 && strcmp(argv[1], "dump") == 0) {
        if (run(dumpargs, argv) != 0) {
            fprintf(stderr, "error in dumping\n");
            return 2;
        }
        return 0;
    }
    if (argc > 3 && strcmp(argv[1], "pump") == 0) {
        if (run(pumpargs, argv) != 0) {
            fprintf(stderr, "error in pumping\n");
            return 2;
        }
        return 0;
    }
    const char *prog = argc > 0 ? argv[0] : "zbqtool";
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("zbqtool " VERSION "\n");
        return flushed();
    }
    if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
        printf("usage: %s dump bank dir    wave bank to raw samples and bankinfo.lua in dir\n"
               "       %s pump bank dir    runs dir/bankinfo.lua and packs the samples it names\n"
               "Pumping runs the bank script with all of Lua's libraries: pump only what you trust.\n"
               "See zbqtool(1).\n", prog, prog);
        return flushed();
    }
    fprintf(stderr, "usage 1: %s dump waves.zbq outpath/\n", prog);
    fprintf(stderr, "usage 2: %s pump waves.zbq inpath/\n", prog);
    return 1;
}
