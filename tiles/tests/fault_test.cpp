// Failing disks and odd paths: every failure is reported and nothing is lost.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testutil.h"
#include "tilefix.h"

using namespace std::string_literals;

static const std::string welcome =
    "welcome to vrel (vrelio + art), an elaborate .art pump & dump scheme\n";

class TileFault : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        writefile(path("pal.dat"), testpalette());
        mkdir(path("out").c_str(), 0777);
    }
};

TEST_F(TileFault, DumpFailsWhenTheDiskFillsUp)
{
    std::string noise;
    for (int i = 0; i < 64 * 64; i++)
        noise += char(i * 2654435761u >> 24);      // incompressible: a PNG well over 2 KiB
    writefile(path("t.art"), makeart(0, 0, {{64, 64, 0, noise}}));
    runresult r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}, {.fsize = 2048});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "dump mode: version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0\n" +
                         path("out") + "/tile000.png: can't write image: File too large\nerror in dumping\n");
    EXPECT_TRUE(listdir(path("out")).empty());   // no half-written image

    // an earlier image stays whole
    writefile(path("out/tile000.png"), "earlier");
    r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}, {.fsize = 2048});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(readfile(path("out/tile000.png")), "earlier");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"tile000.png"});
}

TEST_F(TileFault, PumpFailsOnAnArchivePathThatIsADirectory)
{
    mkdir(path("t.art").c_str(), 0777);
    runresult r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "error in pumping\n");    // before the scan, as any archive that can't be created
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"out", "pal.dat", "t.art"}));
}

TEST_F(TileFault, PumpLeavesNoPartOfANewArchive)
{
    writefile(path("t.art"), makeart(0, 0, {{100, 100, 0, std::string(100 * 100, '\x07')}}));
    ASSERT_EQ(run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}).status, 0);
    runresult r = run({PROG, "pump", path("new.art"), path("pal.dat"), path("out")}, {.fsize = 4096});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("new.art") +
                         ": can't write archive: File too large\nerror in pumping\n");
    EXPECT_FALSE(exists(path("new.art")));
}

TEST_F(TileFault, InputsThatAreNoArchiveOrDirectory)
{
    runresult r = run({PROG, "dump", path("out"), path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "error in dumping\n");   // a directory can't be opened as an archive
    r = run({PROG, "dump", "/dev/null", path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "/dev/null: archive ends inside its header\nerror in dumping\n");
    r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("pal.dat")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret -1 range: -1 - -1\n" + path("pal.dat") +
                         ": can't read directory: Not a directory\nerror in pumping\n");
    EXPECT_FALSE(exists(path("t.art")));
}

TEST_F(TileFault, PumpRefusesAFifoForAnImage)
{
    ASSERT_EQ(mkfifo(path("out/tile000.png").c_str(), 0600), 0);
    runresult r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("out") +
                         "/tile000.png: not a regular file\nerror in pumping\n");
}

TEST_F(TileFault, EveryTruncationFailsCleanly)
{
    std::string art = makeart(-1, 1, {{2, 3, 0x01020304, "abcdef"}, {0, 0, 0, ""}, {1, 1, 0x100, "g"}});
    for (size_t n = 0; n < art.size(); n++) {
        SCOPED_TRACE(n);
        writefile(path("t.art"), art.substr(0, n));
        runresult r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(path("t.art") + ": archive ends inside"), std::string::npos);
        EXPECT_TRUE(listdir(path("out")).empty());
    }
    writefile(path("t.art"), art);
    EXPECT_EQ(run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}).status, 0);
}
