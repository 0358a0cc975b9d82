#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "wavefix.h"

using namespace std::string_literals;

class Dump : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        mkdir(path("out").c_str(), 0777);
    }
    runresult dump(const std::string &bank)
    {
        remove(path("w.zbq").c_str());  // which may be a FIFO
        writefile(path("w.zbq"), bank);
        return run({PROG, "dump", path("w.zbq"), path("out")});
    }
    // The same from a FIFO of that name, which can't be measured first.
    runresult dumppipe(const std::string &bank)
    {
        remove(path("w.zbq").c_str());
        EXPECT_EQ(mkfifo(path("w.zbq").c_str(), 0600), 0);
        std::thread writer([&] { writefile(path("w.zbq"), bank); });
        runresult r = run({PROG, "dump", path("w.zbq"), path("out")});
        writer.join();
        return r;
    }
};

TEST(Zbqtool, PrintsUsageForAnythingElse)
{
    std::string usage = welcome + "usage 1: " PROG " dump waves.zbq outpath/\n"
                                  "usage 2: " PROG " pump waves.zbq inpath/\n";
    checkusage(usage, {
        {PROG}, {PROG, "dump", "w.zbq"}, {PROG, "DUMP", "a", "b"}, {PROG, "Pump", "a", "b"}});
}

TEST(Zbqtool, HelpAndVersionWinWhateverFollowsThem)
{
    std::string help = "usage: " PROG " dump bank dir    wave bank to raw samples and bankinfo.lua in dir\n"
                       "       " PROG " pump bank dir    runs dir/bankinfo.lua and packs the samples it names\n"
                       "Pumping runs the bank script with all of Lua's libraries: pump only what you trust.\n"
                       "See zbqtool(1).\n";
    checkhelp(PROG, welcome, help, "zbqtool " VERSION "\n");
#ifndef __SANITIZE_ADDRESS__    // whose runtime must be the first library loaded
    // asked to write line by line, as to a terminal: the first failure's reason all the same
    SKIP_WITHOUT("/usr/bin/stdbuf");
    SKIP_WITHOUT("/dev/full");
    runresult r = run({"/usr/bin/stdbuf", "-oL", PROG, "--help"}, {.out = "/dev/full"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "can't write standard output: No space left on device\n");
#endif
}

TEST_F(Dump, WritesScriptAndRawFiles)
{
    std::string bank = u32(0) + u32(5) +
        rec("KICK" + std::string(11, ' '), 3) +                  // byte 15 is 0: spaces stay
        rec("", 99, 1, 2, 3) +                                    // empty: no line, no data
        rec(std::string(16, ' '), 0, 7, 7, 0) +                   // all spaces, no data
        rec("ABCDEFGHIJKLMNOP", 2, 5, 0x80000000, -1) +
        rec("Q\"\\\n\x01  "s + std::string(8, '\0') + "\xFF", 1) +
        "abc" "de" "z";
    runresult r = dump(bank);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, welcome);
    EXPECT_EQ(r.out,
              "header: version 0, waves 5\n"
              "sample    0, name 'KICK           ' (   0), len 3, loop 0-0, fine 0\n"
              "sample    2, name '' (  32), len 0, loop 7-7, fine 0\n"
              "sample    3, name 'ABCDEFGHIJKLMNOP' (  80), len 2, loop 5--2147483648, fine -1\n"
              "sample    4, name 'Q\"\\\n\x01  ' (  -1), len 1, loop 0-0, fine 0\n");
    EXPECT_EQ(readfile(path("out/bankinfo.lua")),
              "local _BANK = {}\n\n"
              "_BANK[0] = \n{\n\tfile = \"sound000.raw\",\n\tname = \"KICK           \",\n}\n\n"
              "_BANK[2] = \n{\n}\n\n"
              "_BANK[3] = \n{\n\tfile = \"sound003.raw\",\n\tname = \"ABCDEFGHIJKLMNOP\",\n"
              "\tloopbegin = 5,\n\tloopend = -2147483648,\n\tfinetune = -1,\n}\n\n"
              "_BANK[4] = \n{\n\tfile = \"sound004.raw\",\n\tname = \"Q\\\"\\\\\\n\\001  \",\n}\n\n"
              "return _BANK\n");
    EXPECT_EQ(listdir(path("out")), (std::vector<std::string>{"bankinfo.lua", "sound000.raw",
                                                              "sound003.raw", "sound004.raw"}));
    EXPECT_EQ(readfile(path("out/sound000.raw")), "abc");
    EXPECT_EQ(readfile(path("out/sound003.raw")), "de");
    EXPECT_EQ(readfile(path("out/sound004.raw")), "z");
}

TEST_F(Dump, NumbersFilesByRecordIndex)
{
    std::string bank = u32(0) + u32(1001);
    for (int i = 0; i < 1000; i++)
        bank += rec("");
    bank += rec("LAST", 4) + "\x01\x02\x03\x04";
    EXPECT_EQ(dump(bank).status, 0);
    EXPECT_EQ(listdir(path("out")), (std::vector<std::string>{"bankinfo.lua", "sound1000.raw"}));
    EXPECT_EQ(readfile(path("out/sound1000.raw")), "\x01\x02\x03\x04");
}

TEST_F(Dump, EmptyBankGivesHeadAndTail)
{
    for (std::string bank : {u32(0) + u32(0), u32(0) + u32(2) + rec("") + rec("", 5)}) {
        runresult r = dump(bank);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(readfile(path("out/bankinfo.lua")), "local _BANK = {}\n\nreturn _BANK\n");
        EXPECT_EQ(listdir(path("out")).size(), 1u);
    }
}

TEST_F(Dump, RefusesWrongOrShortBanksBeforeWritingAnything)
{
    writefile(path("out/bankinfo.lua"), "edited");
    std::string w = path("w.zbq");
    std::string good = u32(0) + u32(2) + rec("A", 3) + rec("B", 2) + "abcde";
    struct {
        std::string bank, out;
    } cases[] = {
        {u32(1) + u32(3), "header: version 1, waves 3\nwrong header\n"},
        {"\0\0\0\0\0"s, w + ": wave bank ends inside its header\n"},
        {good.substr(0, 8 + 40), "header: version 0, waves 2\n" + w +
                                     ": wave bank ends inside its record table\n"},
        {u32(0) + u32(0xFFFFFFFF) + rec("A"), "header: version 0, waves -1\n" + w +
                                                  ": wave bank ends inside its record table\n"},
        {good.substr(0, good.size() - 1),
         "header: version 0, waves 2\n" + w + ": wave bank ends inside the data of sample 1\n"},
        {u32(0) + u32(1) + rec("A", 0xFFFFFFFF) + "abc",
         "header: version 0, waves 1\n" + w + ": wave bank ends inside the data of sample 0\n"},
    };
    for (const auto &c : cases) {
        // one that ends before the data fails alike from a FIFO
        for (bool pipe : {false, true}) {
            if (pipe && (c.out.find("the data of") != std::string::npos || leaveout("FIFOs")))
                continue;
            SCOPED_TRACE(c.out + (pipe ? " (FIFO)" : ""));
            runresult r = pipe ? dumppipe(c.bank) : dump(c.bank);
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, welcome + "error in dumping\n");
            EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"bankinfo.lua"});
            EXPECT_EQ(readfile(path("out/bankinfo.lua")), "edited");
        }
    }
    runresult r = run({PROG, "dump", path("none.zbq"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "can't input file\n");
}

// The old script went before the first sample: none is left to describe
// a mix of old and new samples.
TEST_F(Dump, ShortBankFromAPipeLeavesNoScript)
{
    SKIP_WITHOUT("FIFOs");
    writefile(path("out/bankinfo.lua"), "edited");
    runresult r = dumppipe(u32(0) + u32(2) + rec("A", 2) + rec("B", 4) + "ab" + "cd");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "header: version 0, waves 2\n"
                     "sample    0, name 'A' (   0), len 2, loop 0-0, fine 0\n"
                     "sample    1, name 'B' (   0), len 4, loop 0-0, fine 0\n" +
                         path("w.zbq") + ": wave bank ends inside the data of sample 1\n");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"sound000.raw"});
}

TEST_F(Dump, FailsWhenAFileCannotBeWritten)
{
    writefile(path("w.zbq"), u32(0) + u32(1) + rec("A", 1) + "x");
    std::string said = "header: version 0, waves 1\nsample    0, name 'A' (   0), len 1, loop 0-0, fine 0\n";
    runresult r = run({PROG, "dump", path("w.zbq"), path("nodir")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, said + path("nodir") + "/sound000.raw: can't write: No such file or directory\n");
    mkdir(path("out/sound000.raw").c_str(), 0777);  // a directory where the file should go
    r = run({PROG, "dump", path("w.zbq"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, said + path("out") + "/sound000.raw: can't write: Is a directory\n");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"sound000.raw"});
    rmdir(path("out/sound000.raw").c_str());        // an old script that can't be removed, first
    mkdir(path("out/bankinfo.lua").c_str(), 0777);
    r = run({PROG, "dump", path("w.zbq"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "header: version 0, waves 1\n" + path("out") + "/bankinfo.lua: can't remove: Is a directory\n");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"bankinfo.lua"});
    rmdir(path("out/bankinfo.lua").c_str());        // a script that can't be written, last
    SKIP_WITHOUT("resource limits");
    r = run({PROG, "dump", path("w.zbq"), path("out")}, {.fsize = 64});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, said + path("out") + "/bankinfo.lua: can't write: File too large\n");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"sound000.raw"});
    EXPECT_EQ(readfile(path("out/sound000.raw")), "x");
    // nor what was written be synced
    SKIP_WITHOUT("LD_PRELOAD");
    r = run({PROG, "dump", path("w.zbq"), path("out")}, {.env = faildisk({"FAILSYNC=1"})});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, said + path("out") + ": can't sync: Input/output error\n");
}

TEST_F(Dump, WorksWithPathsLongerThan255)
{
    std::string deep = path("out");
    for (int i = 0; i < 6; i++) {
        deep += "/" + std::string(60, char('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    writefile(path("w.zbq"), u32(0) + u32(1) + rec("A", 1) + "x");
    EXPECT_EQ(run({PROG, "dump", path("w.zbq"), deep}).status, 0);
    EXPECT_EQ(readfile(deep + "/sound000.raw"), "x");
}
