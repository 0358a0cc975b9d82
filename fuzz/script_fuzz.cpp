// The pump's bank script path: script text to records, in a fresh Lua state
// per input. The libraries that reach the machine are left out, and
// memory and instructions are bounded so that no script can stall the run.
#include <cstdint>
#include <cstdlib>
#include <lua.hpp>

#include "fuzzutil.h"
#include "pump.h"
#include "report.h"

static size_t used;
static int ticks;
const size_t maxmem = 32 << 20;

static void *limited(void *, void *p, size_t osize, size_t nsize)
{
    size_t old = p ? osize : 0;
    if (nsize == 0) {
        used -= old;
        free(p);
        return nullptr;
    }
    if (used - old + nsize > maxmem)
        return nullptr;
    void *q = realloc(p, nsize);
    if (q)
        used = used - old + nsize;
    return q;
}

static void tick(lua_State *L, lua_Debug *)
{
    if (++ticks > 100)
        luaL_error(L, "instruction limit");
}

// Finalizers run with hooks off when the state closes: refuse them.
static const char setup[] =
    "local smt, rawget = setmetatable, rawget\n"
    "setmetatable = function(t, mt)\n"
    "  if type(mt) == 'table' and rawget(mt, '__gc') ~= nil then error('no finalizers') end\n"
    "  return smt(t, mt)\n"
    "end\n"
    "dofile, loadfile, load = nil, nil, nil\n"
    // patterns run in C, out of reach of the instruction hook
    "string.find, string.match, string.gmatch, string.gsub = nil, nil, nil, nil\n";

static std::string script;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    setprogram("zbqtool", stdout);
    script = scratchdir() + "/bankinfo.lua";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    used = 0;
    ticks = 0;
    lua_State *L = lua_newstate(limited, nullptr);
    if (!L)
        return 0;
    const luaL_Reg libs[] = {{"_G", luaopen_base},       {"coroutine", luaopen_coroutine},
                             {"table", luaopen_table},   {"string", luaopen_string},
                             {"utf8", luaopen_utf8},     {"math", luaopen_math}};
    for (const auto &l : libs) {
        luaL_requiref(L, l.name, l.func, 1);
        lua_pop(L, 1);
    }
    if (luaL_dostring(L, setup) != LUA_OK)
        abort();
    lua_sethook(L, tick, LUA_MASKCOUNT, 100000);
    if (!savebytes(script, data, size))
        abort();
    bank b{"/nonexistent", script.c_str(), 0, 0, 0, {}, {}};
    runbank(L, &b);
    lua_close(L);
    return 0;
}
