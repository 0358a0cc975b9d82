#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <lua.hpp>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "outfile.h"
#include "zbq.h"
#include "zbqtool.h"

using filep = std::unique_ptr<FILE, int (*)(FILE *)>;

// Banks hold at most a few thousand samples; a script asking for more
// records than this is refused before anything is sized from it.
constexpr int32_t maxsamples = 65536;

static const char *errtext(lua_State *L)
{
    const char *m = lua_tostring(L, -1);
    return m ? m : "(null)";
}

// Field key of the entry on top as a number truncated toward zero, 0 when
// it is no number. Raises an error outside -2^31 .. 2^32-1, which holds
// both the signed values a dump writes and unsigned loop points.
static int64_t numfield(lua_State *L, int32_t i, const char *key)
{
    int64_t v = 0;
    lua_getfield(L, -1, key);
    if (lua_isnumber(L, -1)) {
        double d = lua_tonumberx(L, -1, nullptr);
        if (!(d > -2147483649.0 && d < 4294967296.0))    // NaN fails too
            return luaL_error(L, "sample %d: %s %s is outside -2147483648 to 4294967295", int(i),
                              key, lua_tostring(L, -1));
        v = int64_t(d);
    }
    lua_pop(L, 1);  // field
    return v;
}

// Runs protected, with the bank table and the bank record as arguments:
// anything the script's values do, errors included, stays inside the call.
static int readbank(lua_State *L)
{
    bank *b = static_cast<bank *>(lua_touserdata(L, 2));
    lua_settop(L, 1);   // the table

    // Highest integer key, in its low 32 bits
    int32_t top = 0;
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        if (lua_isinteger(L, -2))
            top = std::max(top, int32_t(lua_tointegerx(L, -2, nullptr)));
        lua_pop(L, 1);  // value
    }
    printf("max sample %d\n", int(top));
    if (top >= maxsamples)
        return luaL_error(L, "sample index %d is more than the %d a bank may hold", int(top),
                          int(maxsamples - 1));
    b->recs.assign(size_t(top) + 1, sample{});
    b->paths.assign(size_t(top) + 1, std::string());

    for (int32_t i = 0; i <= top; i++) {
        lua_rawgeti(L, 1, i);
        if (lua_type(L, -1) != LUA_TNIL) {
            printf("sample %d:\n", int(i));
            sample &s = b->recs[i];
            lua_getfield(L, -1, "file");
            if (lua_isstring(L, -1))
                b->paths[i] = std::string(b->dir) + "/" + lua_tostring(L, -1);
            lua_pop(L, 1);  // file
            lua_getfield(L, -1, "name");
            if (lua_isstring(L, -1))
                setname(s, lua_tostring(L, -1));
            else if (!b->paths[i].empty())
                setname(s, "");     // a record with a name byte 0 of 0 reads as one without data
            lua_pop(L, 1);  // name
            s.loopbegin = uint32_t(numfield(L, i, "loopbegin"));
            s.loopend = uint32_t(numfield(L, i, "loopend"));
            s.finetune = int32_t(uint32_t(numfield(L, i, "finetune")));
        }
        lua_pop(L, 1);  // entry
    }
    return 0;
}

// Appends exactly len bytes of path to out. Returns 0 (also when out fails:
// committing it reports that), or 3 after naming the file when it can't be
// read or its size changed since it was measured.
static int copyin(const std::string &path, uint32_t len, outfile *out, std::vector<char> &buf)
{
    filep in(fopen(path.c_str(), "rb"), fclose);
    if (!in) {
        printf("%s: can't read: %s\n", path.c_str(), strerror(errno));
        return 3;
    }
    while (len > 0) {
        size_t n = std::min<size_t>(len, buf.size());
        if (fread(buf.data(), 1, n, in.get()) != n)
            break;
        outwrite(out, buf.data(), n);
        if (out->err)
            return 0;   // the bank's commit reports why
        len -= uint32_t(n);
    }
    if (len > 0 || getc(in.get()) != EOF) {
        printf("%s: size changed while reading\n", path.c_str());
        return 3;
    }
    return 0;
}

// Sizes, summary and the bank file, from the records read from the script.
static int writebank(bank &b, const char *bankpath)
{
    for (size_t i = 0; i < b.recs.size(); i++) {
        struct stat st;
        if (b.paths[i].empty() || stat(b.paths[i].c_str(), &st) != 0)
            continue;   // no file: len 0
        if (!S_ISREG(st.st_mode)) {
            printf("%s: not a regular file\n", b.paths[i].c_str());
            return 3;
        }
        if (st.st_size >= int64_t(1) << 31) {
            printf("%s: 2 GiB or more, too large for a sample\n", b.paths[i].c_str());
            return 3;
        }
        b.recs[i].len = uint32_t(st.st_size);
    }

    for (size_t i = 0; i < b.recs.size(); i++) {
        const sample &s = b.recs[i];
        if (s.name[0] == 0 && s.len == 0)
            continue;
        printf("smp % 4d: fn %s, name %s\n", int(i), b.paths[i].c_str(),
               std::string(s.name, strnlen(s.name, 16)).c_str());
        printf("    len %d, loop %d-%d, fine %d\n", int32_t(s.len), int32_t(s.loopbegin),
               int32_t(s.loopend), s.finetune);
        printf("\n");
    }

    outfilep out = outopen(bankpath);
    if (!out) {
        printf("can't input file\n");
        return 2;
    }
    header h{0, uint32_t(b.recs.size())};
    outwrite(out.get(), &h, sizeof h);
    outwrite(out.get(), b.recs.data(), sizeof(sample) * b.recs.size());
    std::vector<char> buf(1 << 20);
    for (size_t i = 0; i < b.recs.size() && !out->err; i++)
        if (int32_t(b.recs[i].len) > 0)
            if (int e = copyin(b.paths[i], b.recs[i].len, out.get(), buf))
                return e;
    if (int err = outcommit(std::move(out), true)) {
        printf("%s: can't write: %s\n", bankpath, strerror(err));
        return 2;
    }
    return 0;
}

int runbank(lua_State *L, const char *script, bank *b)
{
    if (lua_pcallk(L, 0, 1, 0, 0, nullptr) != LUA_OK) {
        printf("Error running lua: %s\n", errtext(L));
        lua_settop(L, 0);
        return 2;
    }
    printf("wubo works! top: %d\n", lua_gettop(L));
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_settop(L, 0);

    int ret = 0;
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
    if (!lua_istable(L, -1)) {
        printf("Error running lua: %s returned %s, not a table\n", script, luaL_typename(L, -1));
        ret = 2;
    } else {
        lua_pushcfunction(L, readbank);
        lua_pushvalue(L, -2);           // the table
        lua_pushlightuserdata(L, b);
        if (lua_pcallk(L, 2, 0, 0, 0, nullptr) != LUA_OK) {
            printf("Error running lua: %s\n", errtext(L));
            ret = 2;
        }
    }
    lua_settop(L, 0);
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
    return ret;
}

int pump(lua_State *L, const char *bankpath, const char *dir)
{
    std::string script = std::string(dir) + "/bankinfo.lua";
    if (luaL_loadfilex(L, script.c_str(), nullptr) != LUA_OK) {
        printf("Error loading lua: %s\n", errtext(L));
        lua_settop(L, 0);
        return 1;
    }
    bank b{dir, {}, {}};
    if (int e = runbank(L, script.c_str(), &b))
        return e;
    return writebank(b, bankpath);
}
