#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <lua.hpp>

#include "report.h"
#include "zbq.h"

static sample rec(const std::string &name16, uint32_t len = 0, uint32_t lb = 0, uint32_t le = 0,
                  int32_t ft = 0)
{
    sample s{};
    memcpy(s.name, name16.data(), std::min<size_t>(16, name16.size()));
    s.len = len, s.loopbegin = lb, s.loopend = le, s.finetune = ft;
    return s;
}

TEST(Name, DumpDropsTrailingSpacesScanningFromByte15)
{
    struct {
        std::string field, name;
    } cases[] = {
        {"KICK" + std::string(11, ' ') + '\0', "KICK" + std::string(11, ' ')},  // byte 15 stops the scan
        {"SNARE" + std::string(11, ' '), "SNARE"},
        {std::string(16, ' '), ""},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
        {std::string("AB\0CD     xyz   ", 16), "AB"},
        {std::string(" A\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), " A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(samplename(rec(c.field)), c.name);
    }
}

TEST(Name, PumpPadsToByte14AndEndsWithZero)
{
    struct {
        const char *text;
        std::string field;
    } cases[] = {
        {"KICK", "KICK" + std::string(11, ' ') + '\0'},
        {"", std::string(15, ' ') + '\0'},
        {"ABCDEFGHIJKLMNO", std::string("ABCDEFGHIJKLMNO\0", 16)},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", std::string("ABCDEFGHIJKLMNO\0", 16)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        sample s = rec("", 7, 8, 9, 10);
        setname(s, c.text);
        EXPECT_EQ(std::string(s.name, 16), c.field);
        EXPECT_EQ(s.len, 7u);   // nothing spills past the name
    }
}

TEST(Script, WritesEntriesLineByLine)
{
    // the example record: SNARE and eleven spaces, 5120 bytes, fine-tune -3
    EXPECT_EQ(bankentry(7, rec("SNARE" + std::string(11, ' '), 5120, 0, 0, -3)),
              "_BANK[7] = \n{\n\tfile = \"sound007.raw\",\n\tname = \"SNARE\",\n"
              "\tfinetune = -3,\n}\n\n");
    EXPECT_EQ(bankentry(1000, rec("X", 1, 5, 0x80000000, 0)),
              "_BANK[1000] = \n{\n\tfile = \"sound1000.raw\",\n\tname = \"X\",\n"
              "\tloopbegin = 5,\n\tloopend = -2147483648,\n}\n\n");
    // loop lines only when loopbegin < loopend as unsigned numbers
    EXPECT_EQ(bankentry(0, rec("X", 0, 0xFFFFFFFF, 1, 0)), "_BANK[0] = \n{\n\tname = \"X\",\n}\n\n");
    EXPECT_EQ(bankentry(2, rec(std::string(16, ' '), 0, 4, 4, 0)), "_BANK[2] = \n{\n}\n\n");
    EXPECT_EQ(std::string(bankhead) + banktail, "local _BANK = {}\n\nreturn _BANK\n");
}

TEST(Script, QuotesEveryByteSoThatLuaGivesItBack)
{
    EXPECT_EQ(luaquote("KICK"), "\"KICK\"");
    EXPECT_EQ(luaquote("a\"b\\c\nd\te\rf\x01g\x7Fh\xE9"), "\"a\\\"b\\\\c\\nd\\te\\rf\\001g\\127h\xE9\"");
    std::string all;
    for (int c = 1; c < 256; c++)
        all += char(c);
    all += "0123";  // digits after an escape must not join it
    lua_State *L = luaL_newstate();
    ASSERT_EQ(luaL_loadstring(L, ("return " + luaquote(all)).c_str()), LUA_OK);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    size_t n = 0;
    const char *s = lua_tolstring(L, -1, &n);
    EXPECT_EQ(std::string(s, n), all);
    lua_close(L);
}

TEST(Script, FailuresNameTheErrorTheyAreGiven)
{
    setprogram("zbqtool", stdout);          // as zbqtool's main does
    testing::internal::CaptureStdout();
    errno = EACCES;                         // left by some later call: not the cause
    EXPECT_EQ(cantwrite(5, "out/sound000.raw", ENOSPC), 5);
    EXPECT_EQ(cantinput(2), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "out/sound000.raw: can't write: No space left on device\ncan't input file\n");
}

TEST(Records, DecodeAndEncodeLittleEndianBytes)
{
    const unsigned char bytes[32] = {'K', 'I', 'C', 'K', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0,
                                     0x70, 0x17, 0, 0,             // len 6000
                                     0x01, 0x02, 0x03, 0x04,       // loopbegin 0x04030201
                                     0xFF, 0xFF, 0xFF, 0xFF,       // loopend 2^32 - 1
                                     0xFD, 0xFF, 0xFF, 0xFF};      // finetune -3
    sample s = getsample(bytes);
    EXPECT_EQ(std::string(s.name, 16), std::string("KICK           \0", 16));
    EXPECT_EQ(s.len, 6000u);
    EXPECT_EQ(s.loopbegin, 0x04030201u);
    EXPECT_EQ(s.loopend, 0xFFFFFFFFu);
    EXPECT_EQ(s.finetune, -3);
    unsigned char back[32];
    putsample(back, s);
    EXPECT_EQ(memcmp(back, bytes, 32), 0);

    const unsigned char hb[8] = {0, 0, 0, 0, 0x06, 0x01, 0, 0x80};
    header h = getheader(hb);
    EXPECT_EQ(h.version, 0u);
    EXPECT_EQ(h.waves, 0x80000106u);
    unsigned char hback[8];
    putheader(hback, h);
    EXPECT_EQ(memcmp(hback, hb, 8), 0);
}
