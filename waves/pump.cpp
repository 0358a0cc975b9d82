#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <lua.hpp>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "openfiles.h"
#include "outfile.h"
#include "pump.h"
#include "report.h"
#include "zbq.h"
#include "zbqtool.h"

// Banks hold at most a few thousand samples; a script asking for more
// records than this is refused before anything is sized from it.
constexpr int32_t maxsamples = 65536;

// Everything below that touches Lua values runs inside protected calls of
// the functions taking only a lua_State: an error unwinds out of them by
// longjmp or by exception, as Lua was built, so none of them holds a C++
// object across a call into Lua.

// A number's text, made in place: protected, since making it may fail.
static int tostr(lua_State *L)
{
    lua_tolstring(L, 1, nullptr);
    return 1;
}

// The error value on top of the stack as text, "(null)" when it has none.
static const char *errtext(lua_State *L)
{
    if (lua_type(L, -1) == LUA_TNUMBER) {
        lua_pushcfunction(L, tostr);
        lua_insert(L, -2);
        lua_pcall(L, 1, 1, 0);  // failing, it leaves the memory error's text
    }
    const char *m = lua_tostring(L, -1);
    return m ? m : "(null)";
}

// Runs f protected with p as its one argument. Returns 0, or 2 after
// "Error running lua: ..." for an error f did not catch itself.
static int protect(lua_State *L, lua_CFunction f, void *p)
{
    lua_pushcfunction(L, f);
    lua_pushlightuserdata(L, p);
    if (lua_pcall(L, 1, 0, 0) == LUA_OK)
        return 0;
    report(2, "Error running lua: %s", errtext(L));
    lua_pop(L, 1);  // error
    return 2;
}

// Loads and runs the script, keeps the table it returns in the registry,
// and finds the highest index. Sets b->ret as pump returns.
static int runscript(lua_State *L)
{
    bank *b = static_cast<bank *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (luaL_loadfilex(L, b->script, b->mode) != LUA_OK) {
        b->ret = report(1, "Error loading lua: %s", errtext(L));
        return 0;
    }
    if (lua_pcallk(L, 0, 1, 0, 0, nullptr) != LUA_OK)
        return lua_error(L);    // the script's own error, as it raised it
    printf("wubo works! top: %d\n", lua_gettop(L));
    b->ref = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_settop(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, b->ref);
    if (!lua_istable(L, -1))
        return luaL_error(L, "%s returned %s, not a table", b->script, luaL_typename(L, -1));

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
    b->top = top;
    return 0;
}

static const char *const keys[] = {"file", "name", "loopbegin", "loopend", "finetune"};

// Steps to turn a into b, a swap of neighbours counting as one.
static size_t distance(const char *a, const char *b)
{
    size_t n = strlen(a), m = strlen(b), d[33][33];
    if (n > 32 || m > 32)
        return SIZE_MAX;
    for (size_t i = 0; i <= n; i++)
        for (size_t j = 0; j <= m; j++) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

// The key an unknown one is likely a misspelling of, or null: the same
// letters in another case, one held in the other ("fine"), start or stop
// for begin or end, or at most two slips of the keyboard.
static const char *likelykey(const char *unknown)
{
    char k[40] = "";
    size_t n = strlen(unknown);
    if (n < 3 || n > 24)
        return nullptr;
    for (size_t i = 0; i <= n; i++)
        k[i] = char(tolower((unsigned char)unknown[i]));
    if (char *p = strstr(k, "start"))
        memcpy(p, "begin", 5);
    else if ((p = strstr(k, "stop"))) {
        memmove(p + 3, p + 4, strlen(p + 4) + 1);
        memcpy(p, "end", 3);
    }
    const char *best = nullptr;
    size_t bestd = n <= 4 ? 2 : 3;
    for (const char *key : keys) {
        if (strstr(key, k) || strstr(k, key))
            return key;
        if (size_t d = distance(k, key); d < bestd)
            best = key, bestd = d;
    }
    return best;
}

// Warns of every key of the entry on top that the pump does not read,
// in order, with the key it may have been meant as.
static void checkkeys(lua_State *L, int32_t i)
{
    if (lua_type(L, -1) != LUA_TTABLE)
        return;
    const char *unknown[16];
    size_t n = 0, more = 0;
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        lua_pop(L, 1);  // value
        char text[48];
        if (lua_type(L, -1) == LUA_TSTRING) {
            const char *k = lua_tostring(L, -1);    // held by the entry until it is popped
            if (std::find_if(std::begin(keys), std::end(keys), [&](const char *v) { return strcmp(v, k) == 0; }) !=
                std::end(keys))
                continue;
            if (n < 16)
                unknown[n++] = k;
            else
                more++;
            continue;
        }
        // other keys are shown without being turned into text: that
        // would change the key lua_next goes on from
        if (lua_isinteger(L, -1))
            snprintf(text, sizeof text, "[" LUA_INTEGER_FMT "]", (LUAI_UACINT)lua_tointegerx(L, -1, nullptr));
        else if (lua_type(L, -1) == LUA_TNUMBER)
            snprintf(text, sizeof text, "[%.14g]", double(lua_tonumberx(L, -1, nullptr)));
        else
            snprintf(text, sizeof text, "of type %s", luaL_typename(L, -1));
        printf("warning: sample %d: unknown key %s\n", int(i), text);
    }
    // the order of keys in a table varies from run to run: sort them
    std::sort(unknown, unknown + n, [](const char *a, const char *b) { return strcmp(a, b) < 0; });
    for (size_t k = 0; k < n; k++) {
        if (const char *meant = likelykey(unknown[k]))
            printf("warning: sample %d: unknown key \"%s\" (did you mean \"%s\"?)\n", int(i), unknown[k], meant);
        else
            printf("warning: sample %d: unknown key \"%s\"\n", int(i), unknown[k]);
    }
    if (more > 0)
        printf("warning: sample %d: %zu more unknown keys\n", int(i), more);
}

// Field key of the entry on top as a number truncated toward zero; 0,
// with a warning, when it holds something else. Raises an error outside
// -2^31 .. 2^32-1, which holds both the signed values a dump writes and
// unsigned loop points.
static int64_t numfield(lua_State *L, int32_t i, const char *key)
{
    int64_t v = 0;
    lua_getfield(L, -1, key);
    int type = lua_type(L, -1);
    if (lua_isnumber(L, -1)) {
        double d = lua_tonumberx(L, -1, nullptr);
        if (!(d > -2147483649.0 && d < 4294967296.0))    // NaN fails too
            return luaL_error(L, "sample %d: %s %s is outside -2147483648 to 4294967295", int(i),
                              key, lua_tostring(L, -1));
        v = int64_t(d);
    } else if (type == LUA_TSTRING) {
        printf("warning: sample %d: %s \"%s\" is not a number; 0 is used\n", int(i), key, lua_tostring(L, -1));
    } else if (type != LUA_TNIL) {
        printf("warning: sample %d: %s is a %s, not a number; 0 is used\n", int(i), key, lua_typename(L, type));
    }
    lua_pop(L, 1);  // field
    return v;
}

// Text of the entry's field key (entry on top), or null when it is no
// string or number; its type is named in a warning unless it is nil.
// The text stays on the stack: pop it when done.
static const char *textfield(lua_State *L, int32_t i, const char *key, const char *otherwise)
{
    lua_getfield(L, -1, key);
    if (lua_isstring(L, -1))
        return lua_tostring(L, -1);
    if (!lua_isnil(L, -1))
        printf("warning: sample %d: %s is a %s, not a string; %s\n", int(i), key, luaL_typename(L, -1), otherwise);
    return nullptr;
}

// Sets path to dir/file. Lua's frames lie between here and any catch: a
// C++ exception must not cross them, so running out of memory becomes a
// Lua error.
static void setpath(lua_State *L, std::string &path, const char *dir, const char *file)
{
    bool ok = true;
    try {
        path.assign(dir).append("/").append(file);
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    if (!ok)
        luaL_error(L, "not enough memory");
}

// Reads every entry of the bank table into its record.
static int readentries(lua_State *L)
{
    bank *b = static_cast<bank *>(lua_touserdata(L, 1));
    lua_rawgeti(L, LUA_REGISTRYINDEX, b->ref);  // 2: the bank table
    for (int32_t i = 0; i <= b->top; i++) {
        lua_rawgeti(L, 2, i);
        if (lua_type(L, -1) != LUA_TNIL) {
            printf("sample %d:\n", int(i));
            checkkeys(L, i);
            sample &s = b->recs[i];
            if (const char *file = textfield(L, i, "file", "the sample gets no data"))
                setpath(L, b->paths[i], b->dir, file);
            lua_pop(L, 1);  // file
            if (const char *name = textfield(L, i, "name", "the sample has no name")) {
                if (strlen(name) > 15)
                    printf("warning: sample %d: name \"%s\" is longer than 15 bytes; only \"%.15s\" is kept\n",
                           int(i), name, name);
                setname(s, name);
            }
            lua_pop(L, 1);  // name
            s.loopbegin = uint32_t(numfield(L, i, "loopbegin"));
            s.loopend = uint32_t(numfield(L, i, "loopend"));
            s.finetune = int32_t(uint32_t(numfield(L, i, "finetune")));
            if (s.loopbegin >= s.loopend && (s.loopbegin | s.loopend) != 0)
                printf("warning: sample %d: loopbegin %d is not below loopend %d; a dump will not write this "
                       "loop back\n", int(i), int32_t(s.loopbegin), int32_t(s.loopend));
        }
        lua_pop(L, 1);  // entry
    }
    return 0;
}

int runbank(lua_State *L, bank *b)
{
    b->ret = 0;
    b->ref = LUA_NOREF;
    int ret = protect(L, runscript, b);
    if (ret == 0 && b->ret == 0) {
        b->recs.assign(size_t(b->top) + 1, sample{});
        b->paths.assign(size_t(b->top) + 1, std::string());
        ret = protect(L, readentries, b);
    }
    luaL_unref(L, LUA_REGISTRYINDEX, b->ref);
    lua_settop(L, 0);
    return ret ? ret : b->ret;
}

// Opens every sample file once and takes its length from the open file,
// so that a file swapped for another later can't change what is copied.
// Keeps in fds those with data, as many as the process may hold open, and
// in why the errno of each that can't be opened. Returns 0, or 3 after
// naming a file that can't be a sample.
static int measure(bank &b, std::vector<int> &fds, std::vector<int> &why)
{
    size_t room = allowopen(b.recs.size());
    for (size_t i = 0; i < b.recs.size(); i++) {
        if (b.paths[i].empty())
            continue;   // no file: len 0
        struct stat st;
        int fd = openread(b.paths[i].c_str(), &st);
        if (fd < 0) {
            why[i] = errno;
            continue;
        }
        fds[i] = fd;
        if (S_ISDIR(st.st_mode))
            return report(3, "%s: not a regular file", b.paths[i].c_str());
        if (st.st_size >= int64_t(1) << 31)
            return report(3, "%s: 2 GiB or more, too large for a sample", b.paths[i].c_str());
        // devices and FIFOs give what their size says: nothing
        b.recs[i].len = S_ISREG(st.st_mode) ? uint32_t(st.st_size) : 0;
        // a record with data must have a name, or a dump reads it as empty
        if (b.recs[i].name[0] == 0 && b.recs[i].len > 0)
            setname(b.recs[i], "");
        if (b.recs[i].len == 0 || room == 0) {
            close(fd);  // nothing to copy, or opened again to copy it
            fds[i] = -1;
        } else {
            room--;
        }
    }
    return 0;
}

// The summary, with what is only known once the files are measured.
static void summarise(const bank &b, const std::vector<int> &why)
{
    for (size_t i = 0; i < b.recs.size(); i++) {
        const sample &s = b.recs[i];
        bool shown = s.name[0] != 0 || s.len != 0;
        if (shown) {
            printf("smp % 4d: fn %s, name %s\n", int(i), b.paths[i].c_str(),
                   std::string(s.name, strnlen(s.name, 16)).c_str());
            printf("    len %d, loop %d-%d, fine %d\n", int32_t(s.len), int32_t(s.loopbegin),
                   int32_t(s.loopend), s.finetune);
        }
        if (why[i])
            printf("warning: sample %d: can't read %s: %s; the sample gets no data\n", int(i),
                   b.paths[i].c_str(), strerror(why[i]));
        if (s.loopbegin > s.len || s.loopend > s.len)
            printf("warning: sample %d: loop %d-%d lies outside the sample's %u bytes\n", int(i),
                   int32_t(s.loopbegin), int32_t(s.loopend), s.len);
        if (shown)
            printf("\n");
    }
}

// Appends exactly len bytes of the sample file, from fd or, where it could
// not be kept open, opened again, to out. Returns 0 (also when out fails:
// committing it reports that), or 3 after naming the file when it can't
// be read or holds fewer or more bytes than were measured.
static int copyin(int *fd, const std::string &path, uint32_t len, outfile *out)
{
    struct stat st;
    if (*fd < 0 && (*fd = openread(path.c_str(), &st)) < 0)
        return report(3, "%s: can't read: %s", path.c_str(), strerror(errno));
    int64_t got = outcopy(out, *fd, len);
    if (outerror(out))
        return 0;   // the bank's commit reports why
    char more;
    if (got != int64_t(len) || read(*fd, &more, 1) != 0)
        return report(3, "%s: size changed while reading", path.c_str());
    return 0;
}

// Sizes, summary and the bank file, from the records read from the script.
static int writebank(bank &b, const char *bankpath)
{
    std::vector<int> files(b.recs.size(), -1), why(b.recs.size(), 0);
    fdlist keep(&files, closeall);
    if (int e = measure(b, files, why))
        return e;
    summarise(b, why);

    outfilep out = outopen(bankpath, true);
    if (!out)
        return cantinput(2);
    std::vector<unsigned char> table(headersize + samplesize * b.recs.size());
    putheader(table.data(), header{0, uint32_t(b.recs.size())});
    for (size_t i = 0; i < b.recs.size(); i++)
        putsample(&table[headersize + samplesize * i], b.recs[i]);
    outwrite(out.get(), table.data(), table.size());
    for (size_t i = 0; i < b.recs.size() && !outerror(out.get()); i++)
        if (int32_t(b.recs[i].len) > 0) {
            int e = copyin(&files[i], b.paths[i], b.recs[i].len, out.get());
            if (files[i] >= 0)
                close(files[i]);    // copied: the room it held goes to the next ones opened again
            files[i] = -1;
            if (e)
                return e;
        }
    if (int err = outcommit(std::move(out)))
        return cantwrite(2, bankpath, err);
    return 0;
}

int pump(lua_State *L, const char *bankpath, const char *dir)
{
    std::string script = std::string(dir) + "/bankinfo.lua";
    bank b{dir, script.c_str(), nullptr, 0, LUA_NOREF, 0, {}, {}};
    if (int e = runbank(L, &b))
        return e;
    return writebank(b, bankpath);
}
