// Failing disks and odd paths: every failure is reported and nothing is lost.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "wavefix.h"

class WaveFault : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        mkdir(path("out").c_str(), 0777);
    }
};

TEST_F(WaveFault, DumpFailsWhenTheDiskFillsUp)
{
    writefile(path("w.zbq"), u32(0) + u32(1) + rec(pumpname("BIG"), 5000) + std::string(5000, 'x'));
    writefile(path("out/bankinfo.lua"), "edited");
    runresult r = run({PROG, "dump", path("w.zbq"), path("out")}, {.fsize = 4096});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "header: version 0, waves 1\n"
                     "sample    0, name 'BIG            ' (   0), len 5000, loop 0-0, fine 0\n" +
                         path("out") + "/sound000.raw: can't write: File too large\n");
    EXPECT_EQ(r.err, welcome + "error in dumping\n");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"bankinfo.lua"});
    EXPECT_EQ(readfile(path("out/bankinfo.lua")), "edited");
}

TEST_F(WaveFault, PumpFailsOnABankPathThatIsADirectory)
{
    writefile(path("out/bankinfo.lua"), "return {}");
    mkdir(path("w.zbq").c_str(), 0777);
    runresult r = run({PROG, "pump", path("w.zbq"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "wubo works! top: 1\nmax sample 0\ncan't input file\n");
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"out", "w.zbq"}));
}

TEST_F(WaveFault, PumpLeavesNoPartOfANewBank)
{
    writefile(path("out/a.raw"), std::string(6000, 'a'));
    writefile(path("out/bankinfo.lua"), "return { [0] = { file = 'a.raw' } }");
    runresult r = run({PROG, "pump", path("w.zbq"), path("out")}, {.fsize = 4096});
    EXPECT_EQ(r.status, 2);
    std::string tail = path("w.zbq") + ": can't write: File too large\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_FALSE(exists(path("w.zbq")));
}

TEST_F(WaveFault, InputsThatAreNoBankOrDirectory)
{
    runresult r = run({PROG, "dump", path("out"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "can't input file\n");
    r = run({PROG, "dump", "/dev/null", path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "/dev/null: wave bank ends inside its header\n");
    writefile(path("file"), "");
    r = run({PROG, "pump", path("w.zbq"), path("file")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error loading lua: cannot open " + path("file") + "/bankinfo.lua: Not a directory\n");
    EXPECT_TRUE(listdir(path("out")).empty());
}

TEST_F(WaveFault, EveryTruncationFailsCleanly)
{
    std::string bank = u32(0) + u32(3) + rec(pumpname("A"), 3) + rec("") + rec(pumpname("B"), 2) + "abcde";
    for (size_t n = 0; n < bank.size(); n++) {
        SCOPED_TRACE(n);
        writefile(path("w.zbq"), bank.substr(0, n));
        runresult r = run({PROG, "dump", path("w.zbq"), path("out")});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find(path("w.zbq") + ": wave bank ends inside"), std::string::npos);
        EXPECT_TRUE(listdir(path("out")).empty());
    }
    writefile(path("w.zbq"), bank);
    EXPECT_EQ(run({PROG, "dump", path("w.zbq"), path("out")}).status, 0);
}
