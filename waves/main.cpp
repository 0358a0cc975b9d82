#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <lua.hpp>

#include "outfile.h"
#include "report.h"
#include "zbqtool.h"

// The one Lua state, made at start-up and never closed: closing it would
// run the script's finalizers after the pump, free to print or exit.
lua_State *L;

static int dumpargs(char **argv) { return dump(argv[2], argv[3]); }
static int pumpargs(char **argv) { return pump(L, argv[2], argv[3]); }

// The operations' lines go to standard output: a write to it that failed
// (a full disk, a closed pipe) fails the run too, once its files are whole.
static int run(int (*op)(char **), char **argv)
{
    int ret = guarded(op, argv);
    return flushed() != 0 ? 2 : ret;
}

// Far above what any real bank script holds: one that grows without end
// fails with "not enough memory" instead of taking the machine.
constexpr size_t maxluamem = size_t(1) << 30;
static size_t luaused;  // bytes the Lua state holds

static void *luaalloc(void *, void *p, size_t osize, size_t nsize)
{
    size_t old = p ? osize : 0;     // without p, osize is the kind of object
    if (nsize == 0) {
        free(p);
        luaused -= old;
        return nullptr;
    }
    if (nsize > old && nsize - old > maxluamem - luaused)
        return nullptr;
    void *q = realloc(p, nsize);
    if (q)
        luaused = luaused - old + nsize;
    return q;
}

// An error outside any protected call, which our code never makes: Lua
// aborts once this returns.
static int panic(lua_State *L)
{
    fprintf(stderr, "zbqtool: unprotected Lua error: %s\n", lua_tostring(L, -1));
    return 0;
}

// The script's os.exit: ending the program from the script would pass as
// success, with no bank written. The error names the script's line.
static int noexit(lua_State *L)
{
    luaL_where(L, 1);
    lua_pushliteral(L, "os.exit called: a bank script may not end the program");
    lua_concat(L, 2);
    return lua_error(L);
}

static int openlibs(lua_State *L)
{
    luaL_openlibs(L);
    lua_getglobal(L, "os");
    lua_pushcfunction(L, noexit);
    lua_setfield(L, -2, "exit");
    lua_pop(L, 1);  // os
    return 0;
}

int main(int argc, char **argv)
{
    keepouterr();   // before the lines and Lua's io.stdout take stdout
    fprintf(stderr, "welcome to zbqtool, an elaborate .zbq pump & dump scheme\n");
    setprogram("zbqtool", stdout);
    outsignals();
    L = lua_newstate(luaalloc, nullptr);
    if (L)
        lua_atpanic(L, panic);
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
