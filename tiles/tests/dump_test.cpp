#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

#include "testutil.h"
#include "tilefix.h"

using namespace std::string_literals;

class Dump : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        writefile(path("pal.dat"), testpalette());
        mkdir(path("out").c_str(), 0777);
    }
    runresult dump(const std::string &art)
    {
        writefile(path("t.art"), art);
        return run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")});
    }
    std::string summary(const std::string &fields) { return welcome + "dump mode: " + fields + "\n"; }
};

TEST(Vrel, PrintsUsageForAnythingElse)
{
    std::string usage = welcome + "usage 1: " PROG " dump tiles0000.art palette.dat outpath/\n"
                                  "usage 2: " PROG " pump tiles0000.art palette.dat inpath/\n";
    checkusage(usage, {
        {PROG}, {PROG, "dump", "a.art", "pal.dat"}, {PROG, "DUMP", "a", "b", "c"},
        {PROG, "pump"}, {PROG, "pump", "a.art", "pal.dat"}, {PROG, "Testanm"}});
}

TEST(Vrel, HelpAndVersionWinWhateverFollowsThem)
{
    std::string help = "usage: " PROG " dump archive palette dir    archive to tile images and sidecars in dir\n"
                       "       " PROG " pump archive palette dir    tile images and sidecars in dir to archive\n"
                       "palette: a file of 256 RGB entries of 6-bit values, or blood:file of 8-bit values.\n"
                       "See vrel(1).\n";
    checkhelp(PROG, welcome, help, "vrel " VERSION "\n");
}

TEST_F(Dump, WritesPaletteImagesAndSidecars)
{
    std::string art = makeart(100, 105, {
        {3, 2, 0, "\x00\x01\x02\x03\x04\x05"s},          // the worked transposition
        {0, 7, 0x00000001, ""},                          // no pixels: no files, anm word dropped
        {2, 2, 0x0000FD00, "\x0A\x0B\x0C\x0D"},          // xcenter -3
        {1, 1, 0x05020000, "\xFF"},                      // ycenter 2, animspeed 5
        {1, 2, 0xF0000000, "\x07\x08"},                  // only bits 28-31: image, no sidecar
        {1, 1, 0x0FFFFFFF, "\x09"},
    }, 7, 0);
    runresult r = dump(art);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, summary("version 7, numtiles 6 (reported 0), firsttile 100, lasttile 105"));
    EXPECT_EQ(listdir(path("out")),
              (std::vector<std::string>{"tile100.png", "tile102.png", "tile102.yaml",
                                        "tile103.png", "tile103.yaml", "tile104.png",
                                        "tile105.png", "tile105.yaml"}));
    EXPECT_EQ(readfile(path("out/tile102.yaml")), "- xcenter: -3\n");
    EXPECT_EQ(readfile(path("out/tile103.yaml")), "- ycenter: 2\n- animspeed: 5\n");
    EXPECT_EQ(readfile(path("out/tile105.yaml")),
              "- xcenter: -1\n- ycenter: -1\n- frames: 63\n- animtype: 3\n- animspeed: 15\n");

    png p = decodepng(path("out/tile100.png"));
    ASSERT_EQ(p.err, 0u);
    EXPECT_EQ(p.colortype, 3u);
    EXPECT_EQ(p.bitdepth, 8u);
    EXPECT_EQ(p.w, 3u);
    EXPECT_EQ(p.h, 2u);
    EXPECT_EQ(p.px, std::string("\x00\x02\x04\x01\x03\x05", 6));
    ASSERT_EQ(p.pal.size(), 1024u);
    for (int k : {0, 1, 100, 255}) {    // testpalette() times 4, alpha 255
        SCOPED_TRACE(k);
        EXPECT_EQ(p.pal[4 * k], k % 64 * 4);
        EXPECT_EQ(p.pal[4 * k + 1], k / 4 * 4);
        EXPECT_EQ(p.pal[4 * k + 2], (63 - k % 64) * 4);
        EXPECT_EQ(p.pal[4 * k + 3], 255);
    }
    p = decodepng(path("out/tile103.png"));   // one index used, still all 256 entries
    EXPECT_EQ(p.px, "\xFF");
    EXPECT_EQ(p.pal.size(), 1024u);
    EXPECT_EQ(decodepng(path("out/tile104.png")).px, "\x07\x08");
}

TEST_F(Dump, NarrowsPaletteChannelsToEightBits)
{
    std::string pal(768, '\0');
    pal[0] = char(200), pal[1] = 63, pal[2] = 1;
    writefile(path("pal.dat"), pal.substr(0, 300));   // short: entries 100 on read as -4
    ASSERT_EQ(dump(makeart(0, 0, {{1, 1, 0, "\x00"s}})).status, 0);
    png p = decodepng(path("out/tile000.png"));
    EXPECT_EQ(p.pal[0], 32);    // 800 & 255
    EXPECT_EQ(p.pal[1], 252);
    EXPECT_EQ(p.pal[2], 4);
    EXPECT_EQ(p.pal[4 * 100], 252);   // -4 & 255
    EXPECT_EQ(p.pal[4 * 255 + 2], 252);

    writefile(path("blood.dat"), pal);
    runresult r = run({PROG, "dump", path("t.art"), "blood:" + path("blood.dat"), path("out")});
    EXPECT_EQ(r.status, 0);
    p = decodepng(path("out/tile000.png"));
    EXPECT_EQ(p.pal[0], 200);
    EXPECT_EQ(p.pal[1], 63);
    // the prefix is "blood:" exactly: anything else is part of the path
    for (const char *prefix : {"Blood:", "blood;"}) {
        r = run({PROG, "dump", path("t.art"), prefix + path("blood.dat"), path("out")});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, summary("version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0") +
                             "error in dumping\n");
    }
}

TEST_F(Dump, EmptyArchiveStillNeedsItsPalette)
{
    runresult r = dump(makeart(10, 9, {}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, summary("version 1, numtiles 0 (reported 0), firsttile 10, lasttile 9"));
    EXPECT_TRUE(listdir(path("out")).empty());
    r = run({PROG, "dump", path("t.art"), path("nopal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, summary("version 1, numtiles 0 (reported 0), firsttile 10, lasttile 9") +
                         "error in dumping\n");
}

TEST_F(Dump, CountComesFromFirstAndLastNotNumtiles)
{
    std::vector<fixtile> tiles(10, fixtile{1, 1, 0, "\x01"});
    runresult r = dump(makeart(0, 9, tiles, 1, 0));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(listdir(path("out")).size(), 10u);
    EXPECT_TRUE(exists(path("out/tile009.png")));
    r = dump(makeart(-1, -1, {{1, 1, 0x100, "\x01"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(exists(path("out/tile-01.png")));
    EXPECT_EQ(readfile(path("out/tile-01.yaml")), "- xcenter: 1\n");
}

TEST_F(Dump, LeavesOldFilesAloneButNamesThemAndReplacesImages)
{
    writefile(path("out/tile000.yaml"), "- frames: 3\n");
    writefile(path("out/tile000.png"), "junk");
    chmod(path("out/tile000.png").c_str(), 0640);
    runresult r = dump(makeart(0, 0, {{1, 1, 0, "\x05"}}));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, summary("version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0") + path("out") +
                         ": 1 tile file not from this archive, which a pump would take in: tile000.yaml\n");
    EXPECT_EQ(readfile(path("out/tile000.yaml")), "- frames: 3\n");
    EXPECT_EQ(decodepng(path("out/tile000.png")).px, "\x05");
    struct stat st;
    ASSERT_EQ(stat(path("out/tile000.png").c_str(), &st), 0);
    if (!leaveout("POSIX modes")) {
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    EXPECT_EQ(listdir(path("out")), (std::vector<std::string>{"tile000.png", "tile000.yaml"}));

    // an earlier dump of another archive: tiles out of range, of empty
    // tiles, and sidecars of tiles now without animation
    for (const char *n : {"tile001.png", "tile002.yaml", "tile003.png", "tile5.png", "tile-02.yaml", "notes.txt"})
        writefile(path("out/") + n, "");
    r = dump(makeart(0, 2, {{1, 1, 0x100, "\x05"}, {0, 3, 0x1, ""}, {1, 1, 0xF0000000, "\x06"}}));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, summary("version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2") + path("out") +
                         ": 5 tile files not from this archive, which a pump would take in: "
                         "tile-02.yaml, tile001.png, tile002.yaml, ...\n");
    remove(path("out/tile002.yaml").c_str());
    remove(path("out/tile001.png").c_str());
    r = dump(makeart(0, 2, {{1, 1, 0x100, "\x05"}, {0, 3, 0x1, ""}, {1, 1, 0xF0000000, "\x06"}}));
    EXPECT_EQ(r.err, summary("version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2") + path("out") +
                         ": 3 tile files not from this archive, which a pump would take in: "
                         "tile-02.yaml, tile003.png, tile5.png\n");
    // a directory whose reading fails, even at its end, gets no note: its count is not known
    std::string entries = std::to_string(listdir(path("out")).size() + 2);   // with . and ..
    if (!leaveout("LD_PRELOAD")) {
        r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")},
                {.env = faildisk({"FAILREADDIR=" + entries})});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, summary("version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2"));
    }
    for (const char *n : {"tile003.png", "tile5.png", "tile-02.yaml"})
        remove((path("out/") + n).c_str());
    r = dump(makeart(0, 2, {{1, 1, 0x100, "\x05"}, {0, 3, 0x1, ""}, {1, 1, 0xF0000000, "\x06"}}));
    EXPECT_EQ(r.err, summary("version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2"));
}

TEST_F(Dump, UnopenableArchiveOrPaletteSaysOnlyTheFixedLine)
{
    runresult r = run({PROG, "dump", path("none.art"), path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "error in dumping\n");
    std::string art = makeart(0, 0, {{1, 1, 0, "\x01"}});
    writefile(path("t.art"), art);
    r = run({PROG, "dump", path("t.art"), path("none.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, summary("version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0") +
                         "error in dumping\n");
    EXPECT_TRUE(listdir(path("out")).empty());
}

TEST_F(Dump, RefusesShortOrImpossibleArchivesBeforeWritingAnything)
{
    std::string good = makeart(0, 2, {{2, 1, 0x100, "\x01\x02"}, {0, 0, 0, ""}, {1, 3, 0, "abc"}});
    std::string t = path("t.art");
    struct {
        std::string art, err;
    } cases[] = {
        {good.substr(0, 15), t + ": archive ends inside its header\n"},
        {good.substr(0, 16 + 8 * 3 - 1),
         summary("version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2").substr(welcome.size()) +
             t + ": archive ends inside its tile tables\n"},
        {good.substr(0, good.size() - 1),
         "dump mode: version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2\n" + t +
             ": archive ends inside the pixels of tile 2\n"},
        {makeart(5, 3, {}),
         "dump mode: version 1, numtiles -1 (reported 0), firsttile 5, lasttile 3\n" + t +
             ": lasttile 3 is below firsttile 5 - 1\n"},
        {makeart(-2147483647 - 1, 2147483647, {{1, 1, 0, "\x01"}}),
         "dump mode: version 1, numtiles 4294967296 (reported 0), firsttile -2147483648, "
         "lasttile 2147483647\n" + t + ": archive ends inside its tile tables\n"},
        {makeart(0, 1, {{65535, 65535, 0, "\x01\x02"}, {1, 1, 0, "\x03"}}),
         "dump mode: version 1, numtiles 2 (reported 0), firsttile 0, lasttile 1\n" + t +
             ": archive ends inside the pixels of tile 0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        runresult r = dump(c.art);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + c.err + "error in dumping\n");
        EXPECT_TRUE(listdir(path("out")).empty());
    }
}

TEST_F(Dump, ShortArchiveFromAPipeStopsAtTheIncompleteTile)
{
    SKIP_WITHOUT("FIFOs");
    std::string art = makeart(0, 2, {{1, 1, 0x100, "\x01"}, {2, 2, 0x100, "\x02\x03"}, {1, 1, 0, "\x04"}});
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY);
        EXPECT_EQ(write(fd, art.data(), art.size()), ssize_t(art.size()));
        close(fd);
    });
    runresult r = run({PROG, "dump", fifo, path("pal.dat"), path("out")});
    writer.join();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, summary("version 1, numtiles 3 (reported 0), firsttile 0, lasttile 2") + fifo +
                         ": archive ends inside the pixels of tile 1\nerror in dumping\n");
    EXPECT_EQ(listdir(path("out")), (std::vector<std::string>{"tile000.png", "tile000.yaml"}));
}

TEST_F(Dump, FailsWhenAnImageOrSidecarCannotBeWritten)
{
    std::string missing = path("nodir");
    writefile(path("t.art"), makeart(0, 1, {{1, 1, 0, "\x01"}, {1, 1, 0x1, "\x02"}}));
    runresult r = run({PROG, "dump", path("t.art"), path("pal.dat"), missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, summary("version 1, numtiles 2 (reported 0), firsttile 0, lasttile 1") +
                         missing + "/tile000.png: can't write image: No such file or directory\n"
                         "error in dumping\n");

    writefile(path("t.art"), makeart(0, 0, {{1, 1, 0x1, "\x02"}}));
    r = run({PROG, "dump", path("t.art"), path("pal.dat"), missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, summary("version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0") +
                         missing + "/tile000.yaml: can't write sidecar: No such file or directory\n"
                         "error in dumping\n");

    // nor when what was written can't be synced
    SKIP_WITHOUT("LD_PRELOAD");
    r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}, {.env = faildisk({"FAILSYNC=1"})});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, summary("version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0") + path("out") +
                         ": can't sync: Input/output error\nerror in dumping\n");
}

TEST_F(Dump, WorksWithPathsLongerThan260AndNamesInCyrillic)
{
    std::string deep = path("out");
    for (int i = 0; i < 6; i++) {
        deep += "/" + std::string(60, char('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    deep += "/Тайлы";   // and a name in Cyrillic, in UTF-8
    ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    writefile(path("t.art"), makeart(0, 0, {{1, 1, 0x1, "\x02"}}));
    runresult r = run({PROG, "dump", path("t.art"), path("pal.dat"), deep});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(decodepng(deep + "/tile000.png").px, "\x02");
    EXPECT_EQ(readfile(deep + "/tile000.yaml"), "- frames: 1\n");
}
