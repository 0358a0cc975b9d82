#include <cstdio>
#include <cstring>
#include <lua.hpp>
#include <memory>

#include "zbqtool.h"

int main(int argc, char **argv)
{
    fprintf(stderr, "welcome to zbqtool, an elaborate .zbq pump & dump scheme\n");

    // Lua is linked in its C++ build: an error raised inside a protected call
    // unwinds our frames as an exception, running their destructors, where
    // the C build would longjmp past them and leak what they own.
    std::unique_ptr<lua_State, void (*)(lua_State *)> L(luaL_newstate(), lua_close);
    if (!L) {
        fprintf(stderr, "can't create the Lua state\n");
        return 2;
    }
    luaL_openlibs(L.get());

    if (argc > 3 && strcmp(argv[1], "dump") == 0) {
        if (dump(argv[2], argv[3]) != 0) {
            fprintf(stderr, "error in dumping\n");
            return 2;
        }
        return 0;
    }
    if (argc > 3 && strcmp(argv[1], "pump") == 0) {
        if (pump(L.get(), argv[2], argv[3]) != 0) {
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
