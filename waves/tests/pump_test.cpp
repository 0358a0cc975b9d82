#include <algorithm>
#include <gtest/gtest.h>
#include <lua.hpp>
#include <random>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include "wavefix.h"

using namespace std::string_literals;

class Pump : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        mkdir(path("in").c_str(), 0777);
    }
    runresult pump(const std::string &script)
    {
        writefile(path("in/bankinfo.lua"), script);
        return run({PROG, "pump", path("w.zbq"), path("in")});
    }
    std::string bank() { return readfile(path("w.zbq")); }
    std::string in() { return path("in"); }
};

// s .. s .. s with n operands: Lua makes the string in one allocation.
static std::string concat(int n)
{
    std::string e = "s";
    for (int i = 1; i < n; i++)
        e += " .. s";
    return e;
}

TEST_F(Pump, EmptyTableGivesOneZeroRecord)
{
    struct {
        std::string script, said;   // said: what the script itself prints first
    } cases[] = {
        {"return {}", ""},
        {"os.execute('yes | head -c 2') return {}", "y\n"},     // yes ends by SIGPIPE, silently
        // 960 MiB, below the memory a script may hold
        {"local s = string.rep('x', 1 << 23) local t = " + concat(120) + " return {}", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script.substr(0, 60));
        if (c.said == "y\n" && leaveout("yes and head for os.execute"))
            continue;
        bool first = !exists(path("w.zbq"));    // then later ones replace a bank of no samples
        runresult r = pump(c.script);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, welcome + (first ? "" : "0 of 0 samples changed\n"));
        EXPECT_EQ(r.out, c.said + "wubo works! top: 1\nmax sample 0\n");
        EXPECT_EQ(bank(), u32(0) + u32(1) + std::string(32, '\0'));
    }
}

TEST_F(Pump, BuildsRecordsFromEntries)
{
    writefile(path("in/a.raw"), "hello");
    writefile(path("in/b.raw"), "xy");
    runresult r = pump(
        "local t = {}\n"
        "t[1] = { file = 'a.raw', name = 'KICK', loopbegin = 3.9, loopend = '100', finetune = -3.9 }\n"
        "t[2.0] = { name = '', loopbegin = 'abc', loopend = 4294967295 }\n"
        "t[4] = { file = 'b.raw' }\n"                 // data but no name
        "t[5] = { loopbegin = 1, loopend = 2 }\n"     // neither: not in the summary
        "t[6] = { file = 'missing.raw', name = 'GONE', unknown = 1 }\n"
        "t[-9] = {}; t.x = {}; t[7.5] = {}\n"
        "return t, 'ignored'\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 6\nsample 1:\nsample 2:\nsample 4:\nsample 5:\nsample 6:\n"
                     "smp    1: fn " + in() + "/a.raw, name KICK           \n    len 5, loop 3-100, fine -3\n\n"
                     "smp    2: fn , name                \n    len 0, loop 0--1, fine 0\n\n"
                     "smp    4: fn " + in() + "/b.raw, name                \n    len 2, loop 0-0, fine 0\n\n"
                     "smp    6: fn " + in() + "/missing.raw, name GONE           \n    len 0, loop 0-0, fine 0\n\n");
    EXPECT_EQ(r.err, welcome +
                     "warning: key [-9] of the bank table is not a sample index; it is ignored\n"
                     "warning: key [7.5] of the bank table is not a sample index; it is ignored\n"
                     "warning: key [\"x\"] of the bank table is not a sample index; it is ignored\n"
                     "warning: sample 2: loopbegin \"abc\" is not a number; 0 is used\n"
                     "warning: sample 6: unknown key \"unknown\"\n"
                     "warning: sample 1: loop 3-100 lies outside the sample's 5 bytes; loop points are 0 to 5\n"
                     "warning: sample 2: loop 0--1 lies outside the sample's 0 bytes; loop points are 0 to 0\n"
                     "warning: sample 5: loop 1-2 lies outside the sample's 0 bytes; loop points are 0 to 0\n"
                     "warning: sample 6: can't read " + in() + "/missing.raw: No such file or directory; "
                     "the sample gets no data\n"
                     "9 warnings\n");
    EXPECT_EQ(bank(), u32(0) + u32(7) + rec("") + rec(pumpname("KICK"), 5, 3, 100, -3) +
                          rec(pumpname(""), 0, 0, 0xFFFFFFFF) + rec("") + rec(pumpname(""), 2) +
                          rec("", 0, 1, 2) + rec(pumpname("GONE")) + "hello" + "xy");
}

TEST_F(Pump, KeepsFifteenNameBytes)
{
    runresult r = pump("return { [0] = { name = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ' },"
                       " { name = 'AB\\0CD' }, { name = 12.5 }, { file = 7 } }");
    EXPECT_EQ(r.status, 0);
    // a nameless entry whose file is missing stays nameless: 32 zero bytes
    EXPECT_EQ(bank(), u32(0) + u32(4) + rec(std::string("ABCDEFGHIJKLMNO\0", 16)) +
                          rec(pumpname("AB")) + rec(pumpname("12.5")) + rec(""));
}

TEST_F(Pump, ReportsScriptErrorsAndKeepsTheEarlierBank)
{
    std::string script = in() + "/bankinfo.lua";
    lua_State *L = luaL_newstate();
    ASSERT_EQ(luaL_loadstring(L, "return { [0] = { name = 'BIN' } }"), LUA_OK);
    std::string chunk;
    lua_dump(L, [](lua_State *, const void *p, size_t n, void *ud) {
        static_cast<std::string *>(ud)->append(static_cast<const char *>(p), n);
        return 0;
    }, &chunk, 0);
    lua_close(L);
    struct {
        std::string script, out;
        int code;
        std::string warnings = {};
    } cases[] = {
        {"return {", "Error loading lua: " + script + ":1: unexpected symbol near <eof>\n", 1},
        {chunk, "Error loading lua: " + script + ": a precompiled chunk; bank scripts are loaded as text only\n", 1},
        {"error('boom')", "Error running lua: " + script + ":1: boom\n", 2},
        {"os.exit(0)", "Error running lua: " + script + ":1: os.exit called: a bank script may not end the program\n",
         2},
        // 1 GiB, past the memory a script may hold
        {"local s = string.rep('x', 1 << 23) local t = " + concat(128), "Error running lua: not enough memory\n", 2},
        {"error({})", "Error running lua: (null)\n", 2},
        {"return 5", "wubo works! top: 1\nError running lua: " + script + " returned number, not a table\n", 2},
        {"", "wubo works! top: 1\nError running lua: " + script + " returned nil, not a table\n", 2},
        {"return { [0] = 5 }", "wubo works! top: 1\nmax sample 0\nsample 0:\n"
                               "Error running lua: attempt to index a number value\n", 2},
        {"return { [0] = true }", "wubo works! top: 1\nmax sample 0\nsample 0:\n"
                                  "Error running lua: attempt to index a boolean value\n", 2},
        {"return { [0] = setmetatable({}, { __index = function() error('meta', 0) end }) }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\nError running lua: meta\n", 2},
        {"return { [65536] = {}, x = 1 }", "wubo works! top: 1\nmax sample 65536\n"
         "Error running lua: sample index 65536 is more than the 65535 a bank may hold\n", 2,
         "warning: key [\"x\"] of the bank table is not a sample index; it is ignored\n1 warning\n"},
        {"return { [2147483647] = {} }", "wubo works! top: 1\nmax sample 2147483647\nError running lua: "
                                         "sample index 2147483647 is more than the 65535 a bank may hold\n", 2},
        {"return { [0] = { loopend = 4294967296 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopend 4294967296 is outside -2147483648 to 4294967295\n", 2},
        {"return { [0] = { loopbegin = 4294967296 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopbegin 4294967296 is outside -2147483648 to 4294967295\n", 2},
        {"return { [0] = { finetune = -2147483649 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: finetune -2147483649 is outside -2147483648 to 4294967295\n", 2},
        {"return { [0] = { loopend = 0/0 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopend nan is outside -2147483648 to 4294967295\n", 2},
        {"return { [0] = { loopend = -(0/0) } }",   // a NaN of either sign
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopend nan is outside -2147483648 to 4294967295\n", 2},
        {"error(0/0)", "Error running lua: nan\n", 2},
        {"error(-(0/0))", "Error running lua: nan\n", 2},
        {"return { [0] = { loopend = math.huge } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopend inf is outside -2147483648 to 4294967295\n", 2},
    };
    writefile(path("w.zbq"), "earlier");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        runresult r = pump(c.script);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, welcome + c.warnings + "error in pumping\n");
        EXPECT_EQ(bank(), "earlier");
    }
    remove(script.c_str());
    runresult r = run({PROG, "pump", path("w.zbq"), in()});
    EXPECT_EQ(r.out, "Error loading lua: cannot open " + script + ": No such file or directory\n");
    EXPECT_EQ(r.status, 2);
}

// A file that exists but can't be a sample fails the pump; only one that
// does not exist is a warning.
TEST_F(Pump, RefusesSampleFilesItCannotTake)
{
    std::string why;
    int nobody = otheruser(&why, PROG);
    if (nobody < 0 && geteuid() == 0)
        GTEST_SKIP() << why;
    ASSERT_EQ(chown(dir.c_str(), uid_t(nobody), gid_t(-1)), 0);   // for the run as nobody
    mkdir(path("in/dir.raw").c_str(), 0777);
    writefile(path("in/big.raw"), "");
    ASSERT_EQ(truncate(path("in/big.raw").c_str(), off_t(1) << 31), 0);   // sparse
    writefile(path("in/locked.raw"), "abc");
    ASSERT_EQ(chmod(path("in/locked.raw").c_str(), 0), 0);
    if (!leaveout("symbolic links")) {
        ASSERT_EQ(symlink("loop.raw", path("in/loop.raw").c_str()), 0);
    }
    std::string head = "wubo works! top: 1\nmax sample 0\nsample 0:\n";
    struct {
        std::string file, out;
        int status;
        int uid;
    } cases[] = {
        {"dir.raw", head + in() + "/dir.raw: not a regular file\n", 2, -1},
        {"big.raw", head + in() + "/big.raw: 2 GiB or more, too large for a sample\n", 2, -1},
        {"locked.raw", head + "can't read " + in() + "/locked.raw: Permission denied\n", 2, nobody},
        {"loop.raw", head + "can't read " + in() + "/loop.raw: Too many levels of symbolic links\n", 2, -1},
        {"missing.raw", head + "smp    0: fn " + in() + "/missing.raw, name M              \n"
                        "    len 0, loop 0-0, fine 0\n\n", 0, nobody},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        if ((c.file == "loop.raw" && leaveout("symbolic links")) ||
            (c.file == "locked.raw" && leaveout("POSIX modes")))
            continue;
        writefile(path("w.zbq"), "earlier");
        ASSERT_EQ(chown(path("w.zbq").c_str(), uid_t(nobody), gid_t(-1)), 0);
        writefile(path("in/bankinfo.lua"), "return { [0] = { file = '" + c.file + "', name = 'M' } }");
        runresult r = run({PROG, "pump", path("w.zbq"), in()}, {.uid = c.uid});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        // a failed pump lists no changes
        EXPECT_EQ(r.err, welcome + (c.status ? "error in pumping\n"
                                             : "warning: sample 0: can't read " + in() + "/missing.raw: No such file "
                                               "or directory; the sample gets no data\n" + path("w.zbq") +
                                               ": the file replaced is not a readable wave bank; no changes listed\n"
                                               "1 warning\n"));
        EXPECT_EQ(bank(), c.status ? "earlier" : u32(0) + u32(1) + rec(pumpname("M")));
        EXPECT_EQ(listdir(dir), (std::vector<std::string>{"in", "w.zbq"}));
    }
}

// A bank that can't be written leaves what was there before, or nothing.
TEST_F(Pump, KeepsTheEarlierBankWhenWritingFails)
{
    writefile(path("in/a.raw"), std::string(5000, 'a'));
    mkdir(path("dir.zbq").c_str(), 0777);
    std::string full = path("w.zbq") + ": can't write: File too large\n";
    struct {
        std::string bank, sample, earlier, err;    // earlier: "" for no bank before
        long fsize;
    } cases[] = {
        {"nodir/w.zbq", "0", "", "can't input file\n", 0},
        {"dir.zbq", "0", "", "can't input file\n", 0},
        {"w.zbq", "0", "earlier", full, 2048},     // the limit met inside sample 0's data
        {"w.zbq", "100", "earlier", full, 2048},   // or inside the table before sample 100's
        {"w.zbq", "0", "", full, 2048},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bank + ", sample " + c.sample + ", earlier " + c.earlier);
        if (c.fsize && leaveout("resource limits"))
            continue;
        remove(path("w.zbq").c_str());
        if (!c.earlier.empty())
            writefile(path("w.zbq"), c.earlier);
        writefile(path("in/bankinfo.lua"), "return { [" + c.sample + "] = { file = 'a.raw', name = 'A' } }");
        runresult r = run({PROG, "pump", path(c.bank), in()}, {.fsize = c.fsize});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample " + c.sample + "\nsample " + c.sample + ":\nsmp " +
                             std::string(4 - c.sample.size(), ' ') + c.sample + ": fn " + in() +
                             "/a.raw, name A              \n    len 5000, loop 0-0, fine 0\n\n" + c.err);
        EXPECT_EQ(r.err, welcome + "error in pumping\n");  // and lists no changes
        std::vector<std::string> left = {"dir.zbq", "in"};
        if (!c.earlier.empty())
            left.push_back("w.zbq");
        EXPECT_EQ(listdir(dir), left);
        EXPECT_EQ(exists(path("w.zbq")) ? bank() : "", c.earlier);
    }
}

// A pump over a bank lists what it changed from the bank as it was, also
// where the bank is written in place, as a file with another hard link is.
TEST_F(Pump, ListsTheChangesToTheBankItReplaces)
{
    for (auto [name, data] : {std::pair{"c", "abc"}, {"d", "wxyz"}, {"e", "jelly"}, {"f", "12345"}, {"x", "xy"}})
        writefile(in() + "/" + name + ".raw", data);
    std::string no = path("w.zbq") + ": the file replaced is not a readable wave bank; no changes listed\n",
                a = "return { [0] = { name = 'A' } }";
    struct row {
        std::string old, script, err;
    };
    std::vector<row> cases = {
        {u32(0) + u32(6) + rec(pumpname("KEEP"), 3) + rec(pumpname("kick"), 4, 0, 2) + rec(pumpname("D"), 5) +
             rec(pumpname("L"), 2) + rec("") + rec(pumpname("OLD")) + "abc" + "wxyz" + "hello" + "xy",
         "return { [0] = { file = 'c.raw', name = 'KEEP' }, { file = 'd.raw', name = 'kick2', loopbegin = 1, "
         "loopend = 3, finetune = 3 }, { file = 'e.raw', name = 'D' }, { file = 'f.raw', name = 'L' }, "
         "{ name = 'NEW' } }",
         "sample 1: name \"kick\" -> \"kick2\"; loop 0-2 -> 1-3; fine 0 -> 3\nsample 2: 2 bytes changed\n"
         "sample 3: len 2 -> 5\nsample 4: added\nsample 5: removed\n5 of 6 samples changed; 1 added, 1 removed\n"},
        {u32(0) + u32(1) + rec(pumpname("D"), 5) + "jello", "return { [0] = { file = 'e.raw', name = 'D' } }",
         "sample 0: 1 byte changed\n1 of 1 sample changed\n"},
        {u32(0) + u32(1) + rec(pumpname("A")), a, "0 of 1 sample changed\n"},
        {u32(0) + u32(0), a, "sample 0: added\n1 of 1 sample changed; 1 added\n"},
        // a nameless record has no data as the dump reads it: the next one's comes first
        {u32(0) + u32(3) + rec(pumpname("A")) + rec("", 3) + rec(pumpname("X"), 2) + "xy",
         "return { [0] = { name = 'A' }, [2] = { file = 'x.raw', name = 'X' } }",
         "sample 1: removed\n1 of 3 samples changed; 1 removed\n"},
        // fields that differ in their padding alone are shown whole
        {u32(0) + u32(1) + rec("KICK            "), "return { [0] = { name = 'KICK' } }",
         "sample 0: name \"KICK            \" -> \"KICK           \\000\"\n1 of 1 sample changed\n"},
        {u32(1) + u32(0), a, no},
        {u32(0) + u32(2) + rec(pumpname("A")), a, no},
        {u32(0) + u32(1) + rec(pumpname("A"), 4) + "abc", a, no},
    };
    for (int n : {16, 17}) {    // samples named at the limit and one past
        row r{u32(0) + u32(n), "local t = {} for i = 0, " + std::to_string(n - 1) + " do t[i] = { name = 'B' } end "
              "return t", ""};
        for (int i = 0; i < n; i++) {
            r.old += rec(pumpname("A"));
            r.err += i < 16 ? "sample " + std::to_string(i) + ": name \"A\" -> \"B\"\n" : "";
        }
        r.err += (n > 16 ? "... and 1 more\n" : "") + std::to_string(n) + " of " + std::to_string(n) +
                 " samples changed\n";
        cases.push_back(r);
    }
    bool linked = !leaveout("hard links");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        remove(path("w.link").c_str());
        writefile(path("w.zbq"), c.old);
        if (linked) {
            ASSERT_EQ(link(path("w.zbq").c_str(), path("w.link").c_str()), 0);
        }
        runresult r = pump(c.script);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, welcome + c.err);
        EXPECT_EQ(readfile(path(linked ? "w.link" : "w.zbq")), bank());
    }

    // a FIFO is written, never read
    SKIP_WITHOUT("FIFOs");
    remove(path("w.zbq").c_str());
    ASSERT_EQ(mkfifo(path("w.zbq").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = readfile(path("w.zbq")); });
    runresult r = pump(a);
    reader.join();
    EXPECT_EQ(r.err, welcome);
    EXPECT_EQ(got, u32(0) + u32(1) + rec(pumpname("A")));
}

TEST_F(Pump, WorksWithPathsLongerThan255)
{
    std::string deep = in();
    for (int i = 0; i < 6; i++) {
        deep += "/" + std::string(60, char('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    writefile(deep + "/bankinfo.lua", "return { [0] = { file = 'x.raw', name = 'X' } }");
    writefile(deep + "/x.raw", "data");
    runresult r = run({PROG, "pump", deep + "/w.zbq", deep});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readfile(deep + "/w.zbq"), u32(0) + u32(1) + rec(pumpname("X"), 4) + "data");
}

// files limits the pump's open files: samples it can't keep open from
// measuring to copying are opened again.
static void roundtrip(const std::string &dir, const std::string &bankpath, long files = 0)
{
    std::string out = dir + "/rt";
    mkdir(out.c_str(), 0777);
    runresult r = run({PROG, "dump", bankpath, out});
    ASSERT_EQ(r.status, 0) << r.out;
    r = run({PROG, "pump", dir + "/back.zbq", out}, {.files = lacks("resource limits").empty() ? files : 0});
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char *warning : {"not a sample index", "not a table", "a WAV file"})
        EXPECT_EQ(r.err.find(warning), std::string::npos) << warning;
    std::string want = readfile(bankpath), got = readfile(dir + "/back.zbq");
    ASSERT_EQ(got.size(), want.size());
    auto diff = std::mismatch(want.begin(), want.end(), got.begin());
    EXPECT_EQ(diff.first - want.begin(), ssize_t(want.size())) << "first difference";
}

TEST_F(Pump, GivesBackTheSampleBank)
{
    std::string named = path("Звуки банка");   // a folder named in Cyrillic, with a blank
    ASSERT_EQ(mkdir(named.c_str(), 0777), 0);
    roundtrip(named, SAMPLES "/waves.zbq");
}

TEST_F(Pump, GivesBackAGeneratedBankOfManyRecords)
{
    // records as the pump writes them: padded names of any bytes but 0,
    // loops only where loopbegin < loopend, no data behind empty records
    std::mt19937 rng(3);
    std::string table, data;
    const int n = 400;
    for (int i = 0; i < n; i++) {
        if (i != n - 1 && rng() % 6 == 0) {
            table += rec("");
            continue;
        }
        std::string name;
        for (unsigned k = rng() % 16; k > 0; k--)
            name += char(1 + rng() % 255);
        uint32_t len = rng() % 4 == 0 ? 0 : rng() % 3000, a = rng(), b = rng();
        if (rng() % 3 == 0)
            a = b = 0;
        table += rec(pumpname(name), len, std::min(a, b), a == b ? 0 : std::max(a, b),
                     rng() % 2 ? int32_t(rng()) : 0);
        for (uint32_t k = 0; k < len; k++)
            data += char(rng());
    }
    writefile(path("w.zbq"), u32(0) + u32(n) + table + data);
    roundtrip(dir, path("w.zbq"), 100);
}

TEST_F(Pump, FinalizersOfTheScriptNeverRun)
{
    // the Lua state outlives the pump: nothing it holds is finalized at exit
    runresult r = pump("local keep = setmetatable({}, { __gc = function() print('finalized') os.exit(7) end })\n"
                       "return { keep = keep }");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 0\n");
    EXPECT_EQ(r.err, welcome + "warning: key [\"keep\"] of the bank table is not a sample index; it is ignored\n"
                               "1 warning\n");
}

TEST_F(Pump, WarnsOfLikelyMistakes)
{
    writefile(path("in/a.raw"), std::string(4000, 'a'));
    writefile(path("in/w.wav"), "RIFF\x04\0\0\0WAVE"s);     // a header as short as it may be
    writefile(path("in/short.wav"), "RIFF\x04\0\0\0WAV"s);
    const std::string a = u32(0) + u32(1) + rec(pumpname("K"), 4000) + std::string(4000, 'a');
    // entry is the entry of sample 0, or a whole script; bank, when given, is
    // the bank written
    struct row {
        std::string entry, warnings, bank = {};
    };
    std::vector<row> cases = {
        {"file = 'a.raw', name = 'K', loopbegin = 0, loopend = 4000, finetune = -2147483648", ""},
        {"file = 'sound\\n00.raw', name = 'K'", "can't read " + in() + "/sound\\n00.raw: No such file or directory; "
                                               "the sample gets no data\n"},
        {"file = 'a.raw', loopstart = 5", "unknown key \"loopstart\" (did you mean \"loopbegin\"?)\n"},
        {"file = 'a.raw', fine = 3, Name = 'X'", "unknown key \"Name\" (did you mean \"name\"?)\n"
                                                "warning: sample 0: unknown key \"fine\" (did you mean \"finetune\"?)\n"},
        {"file = 'a.raw', flie = 1, colour = 2", "unknown key \"colour\"\n"
                                                "warning: sample 0: unknown key \"flie\" (did you mean \"file\"?)\n"},
        {"file = 'a.raw', [1] = 2", "unknown key [1]\n"},
        {"file = 'a.raw', [1.5] = 2", "unknown key [1.5]\n"},
        {"file = 'a.raw', [true] = 1, [2] = 1, [1.5] = 1, zz = 1, [-7] = 1, [print] = 1, [false] = 1",
         "unknown key [-7]\nwarning: sample 0: unknown key [2]\nwarning: sample 0: unknown key [1.5]\n"
         "warning: sample 0: unknown key \"zz\"\nwarning: sample 0: unknown key [false]\n"
         "warning: sample 0: unknown key [true]\nwarning: sample 0: unknown key of type function\n"},
        {"file = 'a.raw', finetune = 'abc'", "finetune \"abc\" is not a number; 0 is used\n"},
        {"file = 'a.raw', finetune = '\"3\"'", "finetune \"\\\"3\\\"\" is not a number; 0 is used\n"},
        {"file = 'a.raw', loopbegin = {}", "loopbegin is a table, not a number; 0 is used\n"},
        {"file = true", "file is a boolean, not a string; the sample gets no data\n"},
        {"file = 'a.raw', name = {}", "name is a table, not a string; the sample has no name\n"},
        {"file = 'a.raw', name = 'ABCDEFGHIJKLMNO'", ""},
        {"file = 'a.raw', name = 'ABCDEFGHIJKLMNOP'",
         "name \"ABCDEFGHIJKLMNOP\" is longer than 15 bytes; only \"ABCDEFGHIJKLMNO\" is kept\n"},
        {"file = 'a.raw', name = 'AB\\nCDEFGHIJKLMNOP'",
         "name \"AB\\nCDEFGHIJKLMNOP\" is longer than 15 bytes; only \"AB\\nCDEFGHIJKLMN\" is kept\n"},
        {"file = 'a.raw', loopend = 99999",
         "loop 0-99999 lies outside the sample's 4000 bytes; loop points are 0 to 4000\n"},
        {"file = 'a.raw', loopbegin = 4001, loopend = 4000",
         "loopbegin 4001 is not below loopend 4000; a dump will not write this loop back\n"
         "warning: sample 0: loop 4001-4000 lies outside the sample's 4000 bytes; loop points are 0 to 4000\n",
         u32(0) + u32(1) + rec(pumpname(""), 4000, 4001, 4000) + std::string(4000, 'a')},
        {"file = 'a.raw', loopbegin = 3000, loopend = 2000",
         "loopbegin 3000 is not below loopend 2000; a dump will not write this loop back\n"},
        {"file = 'a.raw', loopbegin = 7", "loopbegin 7 is not below loopend 0; a dump will not write this loop back\n"},
        {"file = 'a.raw', loopbegin = 5, loopend = 5",
         "loopbegin 5 is not below loopend 5; a dump will not write this loop back\n"},
        {"file = 'a.raw', loopbegin = -1, loopend = -5",
         "loopbegin -1 is not below loopend -5; a dump will not write this loop back\n"
         "warning: sample 0: loop -1--5 lies outside the sample's 4000 bytes; loop points are 0 to 4000\n"},
        {"file = 'a.raw', loopbegin = -5, loopend = 100",
         "loopbegin -5 is not below loopend 100 as unsigned numbers (4294967291 and 100); a dump will not write "
         "this loop back\n"
         "warning: sample 0: loop -5-100 lies outside the sample's 4000 bytes; loop points are 0 to 4000\n"},
        {"file = 'w.wav', name = 'W'",
         in() + "/w.wav: a WAV file; raw samples are expected (zbqtool(1) shows how to convert it with sox)\n",
         u32(0) + u32(1) + rec(pumpname("W"), 12) + "RIFF\x04\0\0\0WAVE"s},
        {"file = 'short.wav'", ""},
        {"return { [65535] = {} }", "", u32(0) + u32(65536) + std::string(65536 * 32, '\0')},
        {"return { [3] = 'KICK' }",
         "warning: sample 3: the entry is a string, not a table; the sample is empty\n",
         u32(0) + u32(4) + rec("") + rec("") + rec("") + rec("")},
        // sorted: integers, floats, strings by their bytes, booleans, other types by name
        {"return { [0] = { file = 'a.raw', name = 'K' }, x = 1, ['7'] = 1, [-1] = 1, [7.5] = 1, [true] = 1, "
         "[false] = 1, [1/0] = 1, [-1/0] = 1, [2^53] = 1, [2^31] = 1, [{}] = 1, [print] = 1, ['a\\nb'] = 1, "
         "['\\255'] = 1, ['\"3\"'] = 1 }",
         "warning: key [-1] of the bank table is not a sample index; it is ignored\n"
         "warning: key [2147483648] of the bank table is not a sample index; it is ignored\n"
         "warning: key [9007199254740992] of the bank table is not a sample index; it is ignored\n"
         "warning: key [-inf] of the bank table is not a sample index; it is ignored\n"
         "warning: key [7.5] of the bank table is not a sample index; it is ignored\n"
         "warning: key [inf] of the bank table is not a sample index; it is ignored\n"
         "warning: key [\"\\\"3\\\"\"] of the bank table is not a sample index; it is ignored\n"
         "warning: key [\"7\"] of the bank table is not a sample index; it is ignored\n"
         "warning: key [\"a\\nb\"] of the bank table is not a sample index; it is ignored\n"
         "warning: key [\"x\"] of the bank table is not a sample index; it is ignored\n"
         "warning: key [\"\\xff\"] of the bank table is not a sample index; it is ignored\n"
         "warning: key [false] of the bank table is not a sample index; it is ignored\n"
         "warning: key [true] of the bank table is not a sample index; it is ignored\n"
         "warning: a key of type function in the bank table is not a sample index; it is ignored\n"
         "warning: a key of type table in the bank table is not a sample index; it is ignored\n", a},
        // past 32 bits an index is not read, but its low 32 bits count
        {"return { [4294967303] = { name = 'X' }, [-4294967294] = 1, [4294967295] = 1 }",
         "warning: key [-4294967294] of the bank table is not a sample index; its entry is ignored, but its low "
         "32 bits make the highest index at least 2\n"
         "warning: key [4294967295] of the bank table is not a sample index; it is ignored\n"
         "warning: key [4294967303] of the bank table is not a sample index; its entry is ignored, but its low "
         "32 bits make the highest index at least 7\n", u32(0) + u32(8) + std::string(8 * 32, '\0')},
    };
    // past 16 keys of either kind, the first 16 in order are named
    for (int n : {17, 18}) {
        row entry{"file = 'a.raw', name = 'K'", "", a};
        row keys{"local t = { [0] = { file = 'a.raw', name = 'K' } }", "", a};
        for (int k = 1; k <= n; k++) {
            std::string key = (k < 10 ? "k0" : "k") + std::to_string(k);
            entry.entry += ", " + key + " = 1";
            keys.entry += " t." + key + " = 1";
            if (k > 16)
                continue;
            entry.warnings += (k == 1 ? "" : "warning: sample 0: ") + ("unknown key \"" + key + "\"\n");
            keys.warnings += "warning: key [\"" + key + "\"] of the bank table is not a sample index; "
                             "it is ignored\n";
        }
        keys.entry += " return t";
        if (n == 17) {
            entry.warnings += "warning: sample 0: 1 more unknown key\n";
            keys.warnings += "warning: 1 more key of the bank table is not a sample index\n";
        } else {
            entry.warnings += "warning: sample 0: 2 more unknown keys\n";
            keys.warnings += "warning: 2 more keys of the bank table are not sample indices\n";
        }
        cases.push_back(entry);
        cases.push_back(keys);
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.entry);
        bool whole = c.entry.find("return") != std::string::npos;
        remove(path("w.zbq").c_str());     // no bank replaced: no changes listed
        runresult r = pump(whole ? c.entry : "return { [0] = { " + c.entry + " } }");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.find("warning"), std::string::npos);
        auto n = std::count(c.warnings.begin(), c.warnings.end(), '\n');
        std::string count = n == 0 ? "" : n == 1 ? "1 warning\n" : std::to_string(n) + " warnings\n";
        EXPECT_EQ(r.err, welcome + (c.warnings.empty() || whole ? c.warnings : "warning: sample 0: " + c.warnings) +
                             count);
        if (!c.bank.empty()) {
            EXPECT_EQ(bank(), c.bank);
        }
    }

    // a script a dump wrote, unchanged
    mkdir(path("dumped").c_str(), 0777);
    ASSERT_EQ(run({PROG, "dump", SAMPLES "/waves.zbq", path("dumped")}).status, 0);
    runresult r = run({PROG, "pump", path("w.zbq"), path("dumped")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
}

// To a terminal each line goes out as it is written: the script's line to
// standard error comes after the one it wrote before (print would flush).
TEST_F(Pump, WritesLineByLineToATerminal)
{
    SKIP_WITHOUT("/usr/bin/script");
    writefile(path("in/bankinfo.lua"), "io.write('a\\n') io.stderr:write('b\\n') return {}");
    runresult r = run({"/usr/bin/script", "-qec", PROG " pump " + path("w.zbq") + " " + in(), "/dev/null"});
    EXPECT_EQ(r.status, 0);
    std::erase(r.out, '\r');
    EXPECT_EQ(r.out, welcome + "a\nb\nwubo works! top: 1\nmax sample 0\n");
}

TEST_F(Pump, TakesDevicesAndFifosAsEmptyAndKeepsNamelessEntriesEmpty)
{
    SKIP_WITHOUT("FIFOs");
    ASSERT_EQ(mkfifo(path("in/fifo.raw").c_str(), 0600), 0);
    writefile(path("in/empty.raw"), "");
    runresult r = pump("return { [0] = { file = 'fifo.raw', name = 'F' }, { file = 'missing.raw' },"
                       " { file = 'empty.raw' }, { file = 'fifo.raw' } }");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(bank(), u32(0) + u32(4) + rec(pumpname("F")) + rec("") + rec("") + rec(""));
    EXPECT_EQ(r.out.find("smp    1"), std::string::npos);

#ifndef __linux__
    GTEST_SKIP() << "device 1,3 is null on Linux only";
#endif
    if (mknod(path("in/null.raw").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "can't make device nodes here: " << strerror(errno);
    r = pump("return { [0] = { file = 'null.raw', name = 'N' } }");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(bank(), u32(0) + u32(1) + rec(pumpname("N")));
}

TEST_F(Pump, CopiesTheFileItMeasuredThoughItIsSwapped)
{
    // The bank is a FIFO read only once the pump has filled its pipe in the
    // middle of the first sample; meanwhile the second sample's file is
    // replaced by a FIFO nobody writes. The pump must copy the file it
    // measured, not wait on the FIFO.
    SKIP_WITHOUT("FIFOs");
    std::string big(200000, 'a');
    writefile(path("in/a.raw"), big);
    writefile(path("in/b.raw"), "bb");
    writefile(path("in/bankinfo.lua"), "return { [0] = { file = 'a.raw', name = 'A' }, { file = 'b.raw', name = 'B' } }");
    ASSERT_EQ(mkfifo(path("w.zbq").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(path("swap").c_str(), 0600), 0);
    int fd = open(path("w.zbq").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    child c = start({PROG, "pump", path("w.zbq"), in()});
    int queued = 0;
    for (int i = 0; i < 10000 && queued < 65536; i++) {
        usleep(1000);
        ioctl(fd, FIONREAD, &queued);
    }
    ASSERT_EQ(rename(path("swap").c_str(), path("in/b.raw").c_str()), 0);
    std::string got;
    pollfd p = {fd, POLLIN, 0};
    char buf[65536];
    ssize_t n = 1;
    while (n > 0 && poll(&p, 1, 10000) > 0)
        if ((n = read(fd, buf, sizeof buf)) > 0)
            got.append(buf, size_t(n));
    if (n > 0)
        kill(c.pid, SIGKILL);   // it hangs
    runresult r = finish(c);
    close(fd);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(got, u32(0) + u32(2) + rec(pumpname("A"), 200000) + rec(pumpname("B"), 2) + big + "bb");
}
