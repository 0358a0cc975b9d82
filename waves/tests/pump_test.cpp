#include <algorithm>
#include <gtest/gtest.h>
#include <lua.hpp>
#include <random>
#include <sys/stat.h>

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

TEST_F(Pump, EmptyTableGivesOneZeroRecord)
{
    runresult r = pump("return {}");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, welcome);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 0\n");
    EXPECT_EQ(bank(), u32(0) + u32(1) + std::string(32, '\0'));
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
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 6\n"
                     "sample 1:\nsample 2:\nsample 4:\nsample 5:\nsample 6:\n"
                     "smp    1: fn " + in() + "/a.raw, name KICK           \n"
                     "    len 5, loop 3-100, fine -3\n\n"
                     "smp    2: fn , name                \n"
                     "    len 0, loop 0--1, fine 0\n\n"
                     "smp    4: fn " + in() + "/b.raw, name                \n"
                     "    len 2, loop 0-0, fine 0\n\n"
                     "smp    6: fn " + in() + "/missing.raw, name GONE           \n"
                     "    len 0, loop 0-0, fine 0\n\n");
    EXPECT_EQ(bank(), u32(0) + u32(7) + rec("") + rec(pumpname("KICK"), 5, 3, 100, -3) +
                          rec(pumpname(""), 0, 0, 0xFFFFFFFF) + rec("") + rec(pumpname(""), 2) +
                          rec("", 0, 1, 2) + rec(pumpname("GONE")) + "hello" + "xy");
}

TEST_F(Pump, KeepsFifteenNameBytes)
{
    runresult r = pump("return { [0] = { name = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ' },"
                       " { name = 'AB\\0CD' }, { name = 12.5 }, { file = 7 } }");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(bank(), u32(0) + u32(4) + rec(std::string("ABCDEFGHIJKLMNO\0", 16)) +
                          rec(pumpname("AB")) + rec(pumpname("12.5")) + rec(pumpname("")));
}

TEST_F(Pump, AcceptsPrecompiledChunks)
{
    lua_State *L = luaL_newstate();
    ASSERT_EQ(luaL_loadstring(L, "return { [0] = { name = 'BIN' } }"), LUA_OK);
    std::string chunk;
    lua_dump(L, [](lua_State *, const void *p, size_t n, void *ud) {
        static_cast<std::string *>(ud)->append(static_cast<const char *>(p), n);
        return 0;
    }, &chunk, 0);
    lua_close(L);
    EXPECT_EQ(pump(chunk).status, 0);
    EXPECT_EQ(bank(), u32(0) + u32(1) + rec(pumpname("BIN")));
}

TEST_F(Pump, ReportsScriptErrorsAndKeepsTheEarlierBank)
{
    std::string script = in() + "/bankinfo.lua";
    struct {
        std::string script, out;
        int code;
    } cases[] = {
        {"return {", "Error loading lua: " + script + ":1: unexpected symbol near <eof>\n", 1},
        {"error('boom')", "Error running lua: " + script + ":1: boom\n", 2},
        {"error({})", "Error running lua: (null)\n", 2},
        {"return 5", "wubo works! top: 1\nError running lua: " + script + " returned number, not a table\n", 2},
        {"", "wubo works! top: 1\nError running lua: " + script + " returned nil, not a table\n", 2},
        {"return { [0] = 5 }", "wubo works! top: 1\nmax sample 0\nsample 0:\n"
                               "Error running lua: attempt to index a number value\n", 2},
        {"return { [0] = true }", "wubo works! top: 1\nmax sample 0\nsample 0:\n"
                                  "Error running lua: attempt to index a boolean value\n", 2},
        {"return { [0] = setmetatable({}, { __index = function() error('meta', 0) end }) }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\nError running lua: meta\n", 2},
        {"return { [65536] = {} }", "wubo works! top: 1\nmax sample 65536\n"
                                    "Error running lua: sample index 65536 is more than the 65535 a bank may hold\n", 2},
        {"return { [0] = { loopbegin = 4294967296 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopbegin 4294967296 is outside -2147483648 to 4294967295\n", 2},
        {"return { [0] = { finetune = -2147483649 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: finetune -2147483649 is outside -2147483648 to 4294967295\n", 2},
        {"return { [0] = { loopend = 0/0 } }",
         "wubo works! top: 1\nmax sample 0\nsample 0:\n"
         "Error running lua: sample 0: loopend -nan is outside -2147483648 to 4294967295\n", 2},
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
        EXPECT_EQ(r.err, welcome + "error in pumping\n");
        EXPECT_EQ(bank(), "earlier");
    }
    remove(script.c_str());
    runresult r = run({PROG, "pump", path("w.zbq"), in()});
    EXPECT_EQ(r.out, "Error loading lua: cannot open " + script + ": No such file or directory\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(Pump, RefusesSampleFilesItCannotTake)
{
    mkdir(path("in/dir.raw").c_str(), 0777);
    writefile(path("w.zbq"), "earlier");
    runresult r = pump("return { [0] = { file = 'dir.raw', name = 'D' } }");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 0\nsample 0:\n" + in() +
                         "/dir.raw: not a regular file\n");
    EXPECT_EQ(bank(), "earlier");

    writefile(path("in/big.raw"), "");
    ASSERT_EQ(truncate(path("in/big.raw").c_str(), off_t(1) << 31), 0);   // sparse
    r = pump("return { [0] = { file = 'big.raw' } }");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 0\nsample 0:\n" + in() +
                         "/big.raw: 2 GiB or more, too large for a sample\n");
    EXPECT_EQ(bank(), "earlier");
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"in", "w.zbq"}));
}

TEST_F(Pump, KeepsTheEarlierBankWhenWritingFails)
{
    writefile(path("in/a.raw"), std::string(5000, 'a'));
    writefile(path("in/bankinfo.lua"), "return { [0] = { file = 'a.raw', name = 'A' } }");
    std::string summary = "wubo works! top: 1\nmax sample 0\nsample 0:\nsmp    0: fn " + in() +
                          "/a.raw, name A              \n    len 5000, loop 0-0, fine 0\n\n";
    runresult r = run({PROG, "pump", path("nodir/w.zbq"), in()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, summary + "can't input file\n");

    writefile(path("w.zbq"), "earlier");
    r = run({PROG, "pump", path("w.zbq"), in()}, {.fsize = 2048});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, summary + path("w.zbq") + ": can't write: File too large\n");
    EXPECT_EQ(bank(), "earlier");
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"in", "w.zbq"}));
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

static void roundtrip(const std::string &dir, const std::string &bankpath)
{
    std::string out = dir + "/rt";
    mkdir(out.c_str(), 0777);
    runresult r = run({PROG, "dump", bankpath, out});
    ASSERT_EQ(r.status, 0) << r.out;
    r = run({PROG, "pump", dir + "/back.zbq", out});
    ASSERT_EQ(r.status, 0) << r.out;
    std::string want = readfile(bankpath), got = readfile(dir + "/back.zbq");
    ASSERT_EQ(got.size(), want.size());
    auto diff = std::mismatch(want.begin(), want.end(), got.begin());
    EXPECT_EQ(diff.first - want.begin(), ssize_t(want.size())) << "first difference";
}

TEST_F(Pump, GivesBackTheSampleBank)
{
    roundtrip(dir, SAMPLES "/waves.zbq");
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
    roundtrip(dir, path("w.zbq"));
}

TEST_F(Pump, FinalizersOfTheScriptNeverRun)
{
    // the Lua state outlives the pump: nothing it holds is finalized at exit
    runresult r = pump("local keep = setmetatable({}, { __gc = function() print('finalized') os.exit(7) end })\n"
                       "return { keep = keep }");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 0\n");
}
