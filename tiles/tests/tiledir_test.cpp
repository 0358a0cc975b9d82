#include <gtest/gtest.h>
#include <sys/stat.h>

#include "art.h"
#include "testutil.h"
#include "tiledir.h"
#include "tilefix.h"

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

// A file of other than 768 bytes, or of values the wrong width for its form,
// gets a note from dump and pump alike; the images and archive stay as the
// palette's rules make them.
TEST_F(Palette, NotesFilesThatLookLikeNoPaletteOfTheirForm)
{
    const std::string full = testpalette();     // values 0 to 63
    std::string high = full;
    high[0] = 64;
    struct {
        std::string bytes;
        bool blood;
        std::string note;
    } cases[] = {
        {full, false, ""},
        {high, true, ""},
        {full + "\x40", false, ""},    // tables of its own after the colours, as a game's have
        {full + std::string(74498 - 768, 'x'), false, ""},
        {full.substr(0, 767), false, "767 bytes, a palette holds 768; entry 255 lacks its blue"},
        {full.substr(0, 766), false, "766 bytes, a palette holds 768; entry 255 lacks its green and blue"},
        {full.substr(0, 765), false, "765 bytes, a palette holds 768; entry 255 is missing"},
        {full.substr(0, 764), false, "764 bytes, a palette holds 768; entry 254 lacks its blue, and entry 255 is "
                                     "missing"},
        {full.substr(0, 763), false, "763 bytes, a palette holds 768; entry 254 lacks its green and blue, and "
                                     "entry 255 is missing"},
        {full.substr(0, 762), false, "762 bytes, a palette holds 768; entries 254 to 255 are missing"},
        {full.substr(0, 302), false, "302 bytes, a palette holds 768; entry 100 lacks its blue, and entries 101 to "
                                     "255 are missing"},
        {full.substr(0, 301), false, "301 bytes, a palette holds 768; entry 100 lacks its green and blue, and "
                                     "entries 101 to 255 are missing"},
        {full.substr(0, 300), false, "300 bytes, a palette holds 768; entries 100 to 255 are missing"},
        {"\x01", false, "1 byte, a palette holds 768; entry 0 lacks its green and blue, and entries 1 to 255 are "
                        "missing"},
        {"", true, "0 bytes, a palette holds 768; all 256 entries are missing"},
        {high, false, "values above 63, so it holds 8-bit colours: give it as blood:FILE"},
        {full, true, "every value is below 64, so it holds 6-bit colours: give it without blood:"},
    };
    writefile(path("t.art"), makeart(0, 0, {{16, 16, 0, std::string(256, '\0')}}));
    mkdir(path("out").c_str(), 0777);
    std::string file = path("pal.dat");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.note);
        writefile(file, c.bytes);
        runresult r = run({PROG, "dump", path("t.art"), (c.blood ? "blood:" : "") + file, path("out")});
        EXPECT_EQ(r.status, 0);
        std::string note = c.note;
        if (size_t at = note.find("FILE"); at != std::string::npos)
            note.replace(at, 4, file);
        std::string after = r.err.substr(r.err.find('\n', r.err.find("dump mode")) + 1);
        EXPECT_EQ(after, note.empty() ? "" : file + ": " + note + "\n");
        // channels as read, times the scale, 8 bits of them; -1 past the end
        std::vector<unsigned char> want;
        for (size_t i = 0; i < 768; i++) {
            want.push_back(uint8_t((i < c.bytes.size() ? uint8_t(c.bytes[i]) : -1) * (c.blood ? 1 : 4)));
            if (i % 3 == 2)
                want.push_back(255);
        }
        EXPECT_EQ(decodepng(path("out/tile000.png")).pal, want);
    }

    // the pump notes the same and takes the first 768 bytes alone
    writefile(file, full);
    ASSERT_EQ(run({PROG, "dump", path("t.art"), file, path("out")}).status, 0);
    ASSERT_EQ(run({PROG, "pump", path("a.art"), file, path("out")}).status, 0);
    writefile(file, full.substr(0, 766) + "\x20");
    runresult r = run({PROG, "pump", path("b.art"), file, path("out")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, r.err.find("file ret")), welcome + file + ": 767 bytes, a palette holds 768; entry "
                                                                        "255 lacks its blue\n");
    writefile(file, full + "\x40");
    r = run({PROG, "pump", path("b.art"), file, path("out")});
    EXPECT_EQ(r.err.substr(0, r.err.find("file ret")), welcome);
    EXPECT_EQ(readfile(path("b.art")), readfile(path("a.art")));
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

TEST(Sidecar, ReadsEntriesAndNamesWhatCountsForNothing)
{
    struct {
        const char *text;
        sidecar want;
        const char *notes;
    } cases[] = {
        {"- animspeed: 3\n", {0, 0, 0, 0, 3, 0}, ""},
        {"- frames: 4\n- frames: 9\n", {9, 0, 0, 0, 0, 0}, "line 2: frames is given again; the value on line 1 is replaced\n"},
        {"- xcenter: 300\n- ycenter: -129\n", {0, 0, 44, 127, 0, 0},
         "line 1: xcenter 300 is outside -128 to 127; stored as 44\n"
         "line 2: ycenter -129 is outside -128 to 127; stored as 127\n"},
        // every field at its limits, then one past them
        {"- frames: 63\n- animtype: 3\n- xcenter: 127\n- ycenter: -128\n- animspeed: 15\n- rgba: 1\n",
         {63, 3, 127, -128, 15, 1}, ""},
        {"- frames: 0\n- animtype: 0\n- xcenter: -128\n- ycenter: 127\n- animspeed: 0\n- rgba: 0\n",
         {0, 0, -128, 127, 0, 0}, ""},
        {"- frames: 64\n- animtype: 4\n- xcenter: 128\n- ycenter: -129\n- animspeed: 16\n- rgba: 2\n",
         {64, 4, -128, 127, 16, 2},
         "line 1: frames 64 is outside 0 to 63; stored as 0\n"
         "line 2: animtype 4 is outside 0 to 3; stored as 0\n"
         "line 3: xcenter 128 is outside -128 to 127; stored as -128\n"
         "line 4: ycenter -129 is outside -128 to 127; stored as 127\n"
         "line 5: animspeed 16 is outside 0 to 15; stored as 0\n"
         "line 6: rgba 2 is neither 0 nor 1; taken as 1\n"},
        {"- frames: -1\n- animtype: -1\n- animspeed: -1\n- rgba: -1\n", {-1, -1, 0, 0, -1, -1},
         "line 1: frames -1 is outside 0 to 63; stored as 63\n"
         "line 2: animtype -1 is outside 0 to 3; stored as 3\n"
         "line 3: animspeed -1 is outside 0 to 15; stored as 15\n"
         "line 4: rgba -1 is neither 0 nor 1; taken as 1\n"},
        {"-frames:5\r\n-\tanimtype :\t2\r\n", {5, 0, 0, 0, 0, 0},   // "animtype " is another key
         "line 2: unknown key \"animtype \" is ignored (did you mean \"animtype\"?)\n"},
        {"- Frames: 5\n- colour: 3\n", {},
         "line 1: unknown key \"Frames\" is ignored (did you mean \"frames\"?)\n"
         "line 2: unknown key \"colour\" is ignored\n"},
        {"- xcentre: -2\n- frame: 3\n- Xcenter: 1\n- xcenter : -2\n- rgba: yes\n- xcenter:", {},
         "line 1: unknown key \"xcentre\" is ignored (did you mean \"xcenter\"?)\n"
         "line 2: unknown key \"frame\" is ignored (did you mean \"frames\"?)\n"
         "line 3: unknown key \"Xcenter\" is ignored (did you mean \"xcenter\"?)\n"
         "line 4: unknown key \"xcenter \" is ignored (did you mean \"xcenter\"?)\n"
         "line 5: rgba \"yes\" is not a number; ignored\n"
         "line 6: xcenter has no value; ignored\n"},
        {"frames: 5\n- animtype: 2\n", {0, 2, 0, 0, 0, 0},         // no "-": line skipped
         "line 1: not a \"- key: value\" entry; ignored\n"},
        {"- frames: 7\n- frames:\n- animtype: x\n", {7, 0, 0, 0, 0, 0},  // keys without numbers
         "line 2: frames has no value; ignored\nline 3: animtype \"x\" is not a number; ignored\n"},
        {"- frames: +12abc\n- xcenter: 1.5 - ycenter: 2\n", {12, 0, 1, 0, 0, 0},
         "line 1: frames \"+12abc\" is not a whole number; stored as 12\n"
         "line 2: xcenter \"1.5\" is not a whole number; stored as 1\n"},
        {"- rgba: 4294967297\n", {0, 0, 0, 0, 0, 1},               // numbers wrap to 32 bits
         "line 1: rgba 4294967297 is outside -2147483648 to 2147483647; stored as 1\n"},
        {"", {}, ""},
        {"# a comment\n\n  # another\n- frames: 2 # and one more\n", {2, 0, 0, 0, 0, 0}, ""},
        {"- :5\n-\n:\n- frames", {},
         "line 1: not a \"- key: value\" entry; ignored\nline 2: not a \"- key: value\" entry; ignored\n"
         "line 3: not a \"- key: value\" entry; ignored\nline 4: not a \"- key: value\" entry; ignored\n"},
        // entries are separated by any white space, as a stream
        {"- frames: 3\r- animtype: 2\r", {3, 2, 0, 0, 0, 0}, ""},
        {"- frames: 3 - animtype: 2\t- rgba: 1", {3, 2, 0, 0, 0, 1}, ""},
        {"- frames:\n  -4\n- animspeed:\r\n7", {-4, 0, 0, 0, 7, 0},
         "line 1: frames -4 is outside 0 to 63; stored as 60\n"},
        {"-\tframes:\t5\n  - animtype: 1\n\n", {5, 1, 0, 0, 0, 0}, ""},
        // a key ends at its line: a line without ":" can't swallow the next entry
        {"- foo\n- frames: 3\n", {3, 0, 0, 0, 0, 0}, "line 1: not a \"- key: value\" entry; ignored\n"},
        {"- frames: 8\n- rgba\r- animspeed: 2", {8, 0, 0, 0, 2, 0}, "line 2: not a \"- key: value\" entry; ignored\n"},
        {"\xEF\xBB\xBF- frames: 5\n", {5, 0, 0, 0, 0, 0}, ""},           // byte-order mark
        {"x\xEF\xBB\xBF- frames: 5\n", {}, "line 1: not a \"- key: value\" entry; ignored\n"},
        // control bytes and spaces that look like none are shown escaped
        {"- \x1b[2Jx: 1\n", {}, "line 1: unknown key \"\\x1b[2Jx\" is ignored\n"},
        {"- xcenter:\xc2\xa0-2\n", {}, "line 1: xcenter \"\\u00a0-2\" is not a number; ignored\n"},
        {"- frames: \"3\"\n", {}, "line 1: frames \"3\" is not a number: write it without quotes; ignored\n"},
        {"- frames: '3'\n", {}, "line 1: frames '3' is not a number: write it without quotes; ignored\n"},
        {"- kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk: 1\n", {},       // 32 bytes: named whole
         "line 1: unknown key \"kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk\" is ignored\n"},
        // words after a value: the value is stored
        {"- frames: 3 frames \n- animtype: 1", {3, 1, 0, 0, 0, 0}, "line 1: frames 3 is stored; \"frames\" after it is ignored\n"},
        {"- frames: 3 // three\n", {3, 0, 0, 0, 0, 0}, "line 1: frames 3 is stored; \"// three\" after it is ignored\n"},
        {"- frames: 3 \v\f\n- animtype: 1", {3, 1, 0, 0, 0, 0}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        sidecar s{};
        std::string notes;
        parsesidecar(c.text, &s, &notes);
        EXPECT_EQ(s.frames, c.want.frames);
        EXPECT_EQ(s.animtype, c.want.animtype);
        EXPECT_EQ(s.xcenter, c.want.xcenter);
        EXPECT_EQ(s.ycenter, c.want.ycenter);
        EXPECT_EQ(s.animspeed, c.want.animspeed);
        EXPECT_EQ(s.rgba, c.want.rgba);
        EXPECT_EQ(notes, c.notes);
        // the sidecar a dump writes of what is stored reads back silently
        sidecar d{};
        decodeanm(encodeanm(s.frames, s.animtype, s.xcenter, s.ycenter, s.animspeed), &d.frames, &d.animtype,
                  &d.xcenter, &d.ycenter, &d.animspeed);
        std::string again;
        parsesidecar(sidecartext(d), &d, &again);
        EXPECT_EQ(again, "");
    }
}

TEST(Sidecar, HandlesKeysOfAnyLength)
{
    sidecar s{};
    std::string notes;
    parsesidecar("- " + std::string(100000, 'k') + ": 5\n- frames: 3\n", &s, &notes);
    EXPECT_EQ(s.frames, 3);
    EXPECT_EQ(notes, "line 1: unknown key \"" + std::string(32, 'k') + "...\" is ignored\n");
}
