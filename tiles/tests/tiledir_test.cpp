#include <gtest/gtest.h>

#include "testutil.h"
#include "tiledir.h"

class Palette : public TempDir {};

TEST_F(Palette, ScalesBarePathsAndTakesBloodPathsAsTheyAre)
{
    std::string bytes(768, '\0');
    bytes[0] = 63, bytes[1] = char(200), bytes[2] = 1, bytes[765] = 7;
    writefile(path("pal.dat"), bytes);
    palette p;
    ASSERT_TRUE(loadpalette(path("pal.dat").c_str(), &p));
    EXPECT_EQ(p.r[0], 252);
    EXPECT_EQ(p.g[0], 800);
    EXPECT_EQ(p.b[0], 4);
    EXPECT_EQ(p.r[255], 28);
    ASSERT_TRUE(loadpalette(("blood:" + path("pal.dat")).c_str(), &p));
    EXPECT_EQ(p.r[0], 63);
    EXPECT_EQ(p.g[0], 200);
    EXPECT_EQ(p.r[255], 7);
    // the prefix is case-sensitive: with a capital it is part of the path
    EXPECT_FALSE(loadpalette(("Blood:" + path("pal.dat")).c_str(), &p));
    EXPECT_FALSE(loadpalette(path("missing").c_str(), &p));
}

TEST_F(Palette, ShortFileGivesMinusScaleForMissingChannels)
{
    writefile(path("short.dat"), std::string(300, '\x02'));
    palette p;
    ASSERT_TRUE(loadpalette(path("short.dat").c_str(), &p));
    EXPECT_EQ(p.r[99], 8);
    EXPECT_EQ(p.b[99], 8);
    for (int k : {100, 101, 255}) {
        SCOPED_TRACE(k);
        EXPECT_EQ(p.r[k], -4);
        EXPECT_EQ(p.g[k], -4);
        EXPECT_EQ(p.b[k], -4);
    }
    ASSERT_TRUE(loadpalette(("blood:" + path("short.dat")).c_str(), &p));
    EXPECT_EQ(p.b[255], -1);
}

TEST(TileName, PadsToThreeDigitsKeepingTheSign)
{
    EXPECT_EQ(tilename("out", 7, "png"), "out/tile007.png");
    EXPECT_EQ(tilename("out/", 7, "yaml"), "out//tile007.yaml");
    EXPECT_EQ(tilename("d", 1234, "png"), "d/tile1234.png");
    EXPECT_EQ(tilename("d", -1, "png"), "d/tile-01.png");
    EXPECT_EQ(tilename("d", -2147483647 - 1, "png"), "d/tile-2147483648.png");
    std::string longdir(300, 'x');
    EXPECT_EQ(tilename(longdir, 0, "png"), longdir + "/tile000.png");
}

TEST(Sidecar, WritesNonzeroFieldsInOrder)
{
    EXPECT_EQ(sidecartext(sidecar{}), "");
    sidecar s{};
    s.xcenter = -3;
    EXPECT_EQ(sidecartext(s), "- xcenter: -3\n");
    s = sidecar{};
    s.animspeed = 5;
    s.ycenter = 2;
    EXPECT_EQ(sidecartext(s), "- ycenter: 2\n- animspeed: 5\n");
    s = sidecar{63, 3, -128, 127, 15, 1};
    EXPECT_EQ(sidecartext(s), "- xcenter: -128\n- ycenter: 127\n- frames: 63\n"
                              "- animtype: 3\n- animspeed: 15\n");   // rgba is never written
}

TEST(Sidecar, ReadsEntriesAndSkipsWhatDoesNotMatch)
{
    struct {
        const char *text;
        sidecar want;
    } cases[] = {
        {"- animspeed: 3\n", {0, 0, 0, 0, 3, 0}},
        {"- frames: 4\n- frames: 9\n", {9, 0, 0, 0, 0, 0}},
        {"- xcenter: 300\n- ycenter: -129\n", {0, 0, 44, 127, 0, 0}},
        {"- frames: 70\n- rgba: 1\n- animtype: -1", {70, -1, 0, 0, 0, 1}},
        {"-frames:5\r\n-\tanimtype :\t2\r\n", {5, 0, 0, 0, 0, 0}},   // "animtype " is another key
        {"- Frames: 5\n- colour: 3\n", {}},
        {"frames: 5\n- animtype: 2\n", {0, 2, 0, 0, 0, 0}},         // no "-": line skipped
        {"- frames: 7\n- frames:\n- animtype: x\n", {7, 0, 0, 0, 0, 0}},  // keys without numbers
        {"- frames: +12abc\n- rgba: 2\n", {12, 0, 0, 0, 0, 2}},
        {"- rgba: 4294967297\n", {0, 0, 0, 0, 0, 1}},               // numbers wrap to 32 bits
        {"", {}},
        {"- :5\n-\n:\n- frames", {}},
        // entries are separated by any white space, as a stream
        {"- frames: 3\r- animtype: 2\r", {3, 2, 0, 0, 0, 0}},
        {"- frames: 3 - animtype: 2\t- rgba: 1", {3, 2, 0, 0, 0, 1}},
        {"- frames:\n  -4\n- animspeed:\r\n7", {-4, 0, 0, 0, 7, 0}},
        {"-\tframes:\t5\n  - animtype: 1\n\n", {5, 1, 0, 0, 0, 0}},
        // a key ends at its line: a line without ":" can't swallow the next entry
        {"- foo\n- frames: 3\n", {3, 0, 0, 0, 0, 0}},
        {"- frames: 8\n- rgba\r- animspeed: 2", {8, 0, 0, 0, 2, 0}},
        {"\xEF\xBB\xBF- frames: 5\n", {5, 0, 0, 0, 0, 0}},           // byte-order mark
        {"x\xEF\xBB\xBF- frames: 5\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        sidecar s{};
        parsesidecar(c.text, &s);
        EXPECT_EQ(s.frames, c.want.frames);
        EXPECT_EQ(s.animtype, c.want.animtype);
        EXPECT_EQ(s.xcenter, c.want.xcenter);
        EXPECT_EQ(s.ycenter, c.want.ycenter);
        EXPECT_EQ(s.animspeed, c.want.animspeed);
        EXPECT_EQ(s.rgba, c.want.rgba);
    }
}

TEST(Sidecar, HandlesKeysOfAnyLength)
{
    sidecar s{};
    parsesidecar("- " + std::string(100000, 'k') + ": 5\n- frames: 3\n", &s);
    EXPECT_EQ(s.frames, 3);
}
