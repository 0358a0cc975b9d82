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

#include "changes.h"
#include "likely.h"
#include "openfiles.h"
#include "outfile.h"
#include "platform.h"
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

// Lua writes a NaN as C's printf does, "-nan" on some machines and "nan"
// on others: messages say "nan" on all of them.
static bool notanumber(lua_State *L, int idx)
{
    lua_Number d = lua_tonumberx(L, idx, nullptr);
    return lua_type(L, idx) == LUA_TNUMBER && d != d;
}

// A number's text, made in place: protected, since making it may fail.
static int tostr(lua_State *L)
{
    if (notanumber(L, 1))
        lua_pushliteral(L, "nan");
    else
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

// Offers k to kept, which holds the n least offered so far (at most 16),
// in any order; counts in more those it leaves out. The order lua_next
// visits keys in varies from run to run: the 16 named must not.
template <class T, class Less> static void keepleast(T (&kept)[16], size_t *n, size_t *more, T k, Less less)
{
    if (*n < 16) {
        kept[(*n)++] = k;
        return;
    }
    ++*more;
    T *last = std::max_element(kept, kept + *n, less);
    if (less(k, *last))
        *last = k;
}

// A key of a table, kept to be named in a warning. Keys sort by rank, then
// integers and booleans (false first) by i, floats by d, strings by their
// bytes and the other types by their names, in s.
enum { intkey, floatkey, stringkey, boolkey, otherkey };
struct tablekey {
    int rank;
    lua_Integer i;
    lua_Number d;
    const char *s;      // held by the table (a string key) or by Lua (a type name)
    size_t n;           // bytes in s
};

static bool keyorder(const tablekey &a, const tablekey &b)
{
    if (a.rank != b.rank)
        return a.rank < b.rank;
    if (a.rank == intkey || a.rank == boolkey)
        return a.i < b.i;
    if (a.rank == floatkey)
        return a.d < b.d;
    int c = memcmp(a.s, b.s, std::min(a.n, b.n));
    return c < 0 || (c == 0 && a.n < b.n);
}

// The key on top, left as it is: turning a number into text would change
// the key lua_next goes on from.
static tablekey keyat(lua_State *L)
{
    tablekey k = {};
    int type = lua_type(L, -1);
    if (lua_isinteger(L, -1)) {
        k.rank = intkey;
        k.i = lua_tointegerx(L, -1, nullptr);
    } else if (type == LUA_TNUMBER) {
        k.rank = floatkey;
        k.d = lua_tonumberx(L, -1, nullptr);
    } else if (type == LUA_TSTRING) {
        k.rank = stringkey;
        k.s = lua_tolstring(L, -1, &k.n);
    } else if (type == LUA_TBOOLEAN) {
        k.rank = boolkey;
        k.i = lua_toboolean(L, -1);
    } else {
        k.rank = otherkey;
        k.s = lua_typename(L, type);
        k.n = strlen(k.s);
    }
    return k;
}

// A key as a script writes it: 7, 7.5, "x" (quoted and escaped) or true.
static std::string keytext(const tablekey &k)
{
    char buf[64];
    if (k.rank == intkey)
        snprintf(buf, sizeof buf, LUA_INTEGER_FMT, (LUAI_UACINT)k.i);
    else if (k.rank == floatkey)
        snprintf(buf, sizeof buf, "%.14g", double(k.d));
    else if (k.rank == boolkey)
        return k.i ? "true" : "false";
    else
        return luaquote(std::string(k.s, k.n));
    return buf;
}

// Runs f, which makes a note, inside a protected call: Lua's frames lie
// between here and any catch, so running out of memory becomes a Lua error.
template <class F> static void luanote(lua_State *L, F f)
{
    bool ok = true;
    try {
        f();
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    if (!ok)
        luaL_error(L, "not enough memory");
}

// The highest integer key of the table on top, in its low 32 bits. Warns
// of the keys that are no sample index, sorted.
static int32_t highestindex(lua_State *L)
{
    tablekey kept[16];
    size_t n = 0, more = 0;
    int32_t top = 0;
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        lua_pop(L, 1);  // value
        tablekey k = keyat(L);
        if (k.rank == intkey) {
            top = std::max(top, int32_t(k.i));
            if (k.i >= 0 && k.i <= INT32_MAX)
                continue;
        }
        keepleast(kept, &n, &more, k, keyorder);
    }
    std::sort(kept, kept + n, keyorder);
    for (size_t k = 0; k < n; k++) {
        const tablekey &o = kept[k];
        luanote(L, [&] {
            // an index past 32 bits is never read, but its low bits count
            if (o.rank == intkey && int32_t(o.i) > 0)
                note("warning: key [%s] of the bank table is not a sample index; its entry is ignored, but its "
                     "low 32 bits make the highest index at least %d", keytext(o).c_str(), int(int32_t(o.i)));
            else if (o.rank == otherkey)
                note("warning: a key of type %s in the bank table is not a sample index; it is ignored", o.s);
            else
                note("warning: key [%s] of the bank table is not a sample index; it is ignored",
                     keytext(o).c_str());
        });
    }
    luanote(L, [&] {
        if (more == 1)
            note("warning: 1 more key of the bank table is not a sample index");
        else if (more > 1)
            note("warning: %llu more keys of the bank table are not sample indices", (unsigned long long)more);
    });
    return top;
}

// Loads and runs the script, keeps the table it returns in the registry,
// and finds the highest index. Sets b->ret as pump returns.
static int runscript(lua_State *L)
{
    bank *b = static_cast<bank *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (luaL_loadfilex(L, b->script, "t") != LUA_OK) {
        // Lua's refusal of a precompiled chunk names no file
        if (strcmp(errtext(L), "attempt to load a binary chunk (mode is 't')") == 0)
            b->ret = report(1, "Error loading lua: %s: a precompiled chunk; bank scripts are loaded as text only",
                            b->script);
        else
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

    int32_t top = highestindex(L);
    printf("max sample %d\n", int(top));
    if (top >= maxsamples)
        return luaL_error(L, "sample index %d is more than the %d a bank may hold", int(top),
                          int(maxsamples - 1));
    b->top = top;
    return 0;
}

static const char *const keys[] = {"file", "name", "loopbegin", "loopend", "finetune"};

// Warns of every key of the entry on top that the pump does not read,
// sorted, a string with the key it may have been meant as.
static void checkkeys(lua_State *L, int32_t i)
{
    if (lua_type(L, -1) != LUA_TTABLE)
        return;
    tablekey unknown[16];
    size_t n = 0, more = 0;
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        lua_pop(L, 1);  // value
        tablekey k = keyat(L);
        if (k.rank == stringkey && std::find_if(std::begin(keys), std::end(keys), [&](const char *v) {
                return strlen(v) == k.n && memcmp(v, k.s, k.n) == 0;
            }) != std::end(keys))
            continue;
        keepleast(unknown, &n, &more, k, keyorder);
    }
    std::sort(unknown, unknown + n, keyorder);
    for (size_t k = 0; k < n; k++) {
        const tablekey &u = unknown[k];
        bool text = u.rank == stringkey && strlen(u.s) == u.n;  // no 0 byte inside
        const char *meant = text ? likelykey(u.s, keys, std::size(keys)) : nullptr;
        luanote(L, [&] {
            if (meant)
                note("warning: sample %d: unknown key %s (did you mean \"%s\"?)", int(i), keytext(u).c_str(), meant);
            else if (u.rank == stringkey)
                note("warning: sample %d: unknown key %s", int(i), keytext(u).c_str());
            else if (u.rank == otherkey)
                note("warning: sample %d: unknown key of type %s", int(i), u.s);
            else
                note("warning: sample %d: unknown key [%s]", int(i), keytext(u).c_str());
        });
    }
    luanote(L, [&] {
        if (more == 1)
            note("warning: sample %d: 1 more unknown key", int(i));
        else if (more > 1)
            note("warning: sample %d: %llu more unknown keys", int(i), (unsigned long long)more);
    });
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
                              key, notanumber(L, -1) ? "nan" : lua_tostring(L, -1));
        v = int64_t(d);
    } else if (type == LUA_TSTRING) {
        size_t n;
        const char *text = lua_tolstring(L, -1, &n);
        luanote(L, [&] {
            note("warning: sample %d: %s %s is not a number; 0 is used", int(i), key,
                 luaquote(std::string(text, n)).c_str());
        });
    } else if (type != LUA_TNIL) {
        luanote(L, [&] {
            note("warning: sample %d: %s is a %s, not a number; 0 is used", int(i), key, lua_typename(L, type));
        });
    }
    lua_pop(L, 1);  // field
    return v;
}

// Text of the entry's field key (entry on top), or null when it is no
// string or number. The field stays on the stack: pop it when done.
static const char *textfield(lua_State *L, const char *key)
{
    lua_getfield(L, -1, key);
    return lua_isstring(L, -1) ? lua_tostring(L, -1) : nullptr;
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
            if (const char *file = textfield(L, "file"))
                setpath(L, b->paths[i], b->dir, file);
            else if (const char *type = lua_isnil(L, -1) ? nullptr : luaL_typename(L, -1))
                luanote(L, [&] {
                    note("warning: sample %d: file is a %s, not a string; the sample gets no data", int(i), type);
                });
            lua_pop(L, 1);  // file
            if (const char *name = textfield(L, "name")) {
                if (size_t n = strlen(name); n > 15)
                    luanote(L, [&] {
                        note("warning: sample %d: name %s is longer than 15 bytes; only %s is kept", int(i),
                             luaquote(std::string(name, n)).c_str(), luaquote(std::string(name, 15)).c_str());
                    });
                setname(s, name);
            } else if (const char *type = lua_isnil(L, -1) ? nullptr : luaL_typename(L, -1)) {
                luanote(L, [&] {
                    note("warning: sample %d: name is a %s, not a string; the sample has no name", int(i), type);
                });
            }
            lua_pop(L, 1);  // name
            s.loopbegin = uint32_t(numfield(L, i, "loopbegin"));
            s.loopend = uint32_t(numfield(L, i, "loopend"));
            s.finetune = int32_t(uint32_t(numfield(L, i, "finetune")));
            // the dump compares loop points unsigned: a negative begin is
            // not below a positive end
            int32_t lb = int32_t(s.loopbegin), le = int32_t(s.loopend);
            luanote(L, [&] {
                if (s.loopbegin >= s.loopend && (s.loopbegin | s.loopend) != 0 && lb < le)
                    note("warning: sample %d: loopbegin %d is not below loopend %d as unsigned numbers (%u and "
                         "%u); a dump will not write this loop back", int(i), lb, le, s.loopbegin, s.loopend);
                else if (s.loopbegin >= s.loopend && (s.loopbegin | s.loopend) != 0)
                    note("warning: sample %d: loopbegin %d is not below loopend %d; a dump will not write this "
                         "loop back", int(i), lb, le);
            });
            // an entry that is no table gives what its metatable finds: a
            // string's finds none of these keys in the string library
            if (!lua_istable(L, -1) && b->paths[i].empty() && s.name[0] == 0 && s.loopbegin == 0 &&
                s.loopend == 0 && s.finetune == 0) {
                const char *type = luaL_typename(L, -1);
                luanote(L, [&] {
                    note("warning: sample %d: the entry is a %s, not a table; the sample is empty", int(i), type);
                });
            }
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

// What measuring found of a sample file that the summary warns of.
struct found {
    bool missing;   // no file of that name: no data
    bool wav;       // a RIFF header, which would go in as sample data
};

// Whether the regular file at fd starts as a WAV file does. Returns 0, or
// an errno value when it can't be read.
static int iswav(int fd, const struct stat &st, bool *wav)
{
    unsigned char h[12];
    *wav = false;
    if (!S_ISREG(st.st_mode) || st.st_size < int64_t(sizeof h))
        return 0;
    int64_t k = readat(fd, h, sizeof h, 0);
    if (k < 0)
        return errno;
    *wav = k == sizeof h && memcmp(h, "RIFF", 4) == 0 && memcmp(h + 8, "WAVE", 4) == 0;
    return 0;
}

// Opens every sample file once and takes its length from the open file,
// so that a file swapped for another later can't change what is copied.
// Keeps in fds those with data, as many as the process may hold open.
// Returns 0, or 3 after naming a file that exists but can't be a sample.
static int measure(bank &b, std::vector<int> &fds, std::vector<found> &notes)
{
    size_t room = allowopen(b.recs.size());
    for (size_t i = 0; i < b.recs.size(); i++) {
        if (b.paths[i].empty())
            continue;   // no file: len 0
        struct stat st;
        int fd = openread(b.paths[i].c_str(), &st);
        if (fd < 0 && errno == ENOENT) {
            notes[i].missing = true;
            continue;
        }
        if (fd < 0)
            return cantread(3, b.paths[i].c_str(), errno);
        fds[i] = fd;
        if (S_ISDIR(st.st_mode))
            return report(3, "%s: not a regular file", b.paths[i].c_str());
        if (st.st_size >= int64_t(1) << 31)
            return report(3, "%s: 2 GiB or more, too large for a sample", b.paths[i].c_str());
        if (int err = iswav(fd, st, &notes[i].wav))
            return cantread(3, b.paths[i].c_str(), err);
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
static void summarise(const bank &b, const std::vector<found> &notes)
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
        if (notes[i].missing)
            note("warning: sample %d: can't read %s: %s; the sample gets no data", int(i), b.paths[i].c_str(),
                 strerror(ENOENT));
        if (notes[i].wav)
            note("warning: sample %d: %s: a WAV file; raw samples are expected (zbqtool(1) shows how to convert "
                 "it with sox)", int(i), b.paths[i].c_str());
        if (s.loopbegin > s.len || s.loopend > s.len)
            note("warning: sample %d: loop %d-%d lies outside the sample's %u bytes; loop points are 0 to %u",
                 int(i), int32_t(s.loopbegin), int32_t(s.loopend), s.len, s.len);
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
        return cantread(3, path.c_str(), errno);
    int64_t got = outcopy(out, *fd, len);
    if (got < 0)
        return cantread(3, path.c_str(), errno);
    if (outerror(out))
        return 0;   // the bank's commit reports why
    char more;
    ssize_t k = read(*fd, &more, 1);
    if (k < 0)
        return cantread(3, path.c_str(), errno);
    if (got != int64_t(len) || k != 0)
        return report(3, "%s: size changed while reading", path.c_str());
    return 0;
}

// Sizes, summary and the bank file, from the records read from the script.
static int writebank(bank &b, const char *bankpath)
{
    std::vector<int> files(b.recs.size(), -1);
    fdlist keep(&files, closeall);
    std::vector<found> notes(b.recs.size(), found{});
    if (int e = measure(b, files, notes))
        return e;
    summarise(b, notes);
    // read before the bank is opened: it may be written in place
    std::vector<std::string> listed = changes(bankpath, b.recs, b.paths, files);

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
    for (const auto &line : listed)
        say("%s", line.c_str());
    return 0;
}

int pump(lua_State *L, const char *bankpath, const char *dir)
{
    std::string script = std::string(dir) + "/bankinfo.lua";
    bank b{dir, script.c_str(), 0, LUA_NOREF, 0, {}, {}};
    defaultsignals(true);   // the script's children get what is ignored
    int e = runbank(L, &b);
    defaultsignals(false);
    if (e == 0)
        e = writebank(b, bankpath);
    // last, also when the pump failed after warning
    if (notes() > 0)
        say("%s", counted(uint64_t(notes()), "warning").c_str());
    return e;
}
