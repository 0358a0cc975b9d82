#include <algorithm>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <lodepng.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"
#include "tilefix.h"
#include "zcodec.h"

using namespace std::string_literals;

class Pump : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        writefile(path("pal.dat"), testpalette());
        mkdir(path("in").c_str(), 0777);
    }
    void put(const std::string &name, const std::string &data) { writefile(path("in/" + name), data); }
    runresult pump(const std::string &pal = "")
    {
        return run({PROG, "pump", path("t.art"), pal.empty() ? path("pal.dat") : pal, path("in")});
    }
    std::string art() { return readfile(path("t.art")); }
};

TEST_F(Pump, PacksTheRangeFoundInTheDirectory)
{
    put("tile003.png", indexpng(2, 3, "\x01\x02\x03\x04\x05\x06"));
    put("tile005.png", indexpng(1, 1, "\x09"));
    put("tile005.yaml", "- xcenter: -3\n- animspeed: 5\n- frames: 70\n");
    runresult r = pump();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 3 - 5\n" + path("in/tile005.yaml") +
                         ": line 3: frames 70 is outside 0 to 63; stored as 6\n");
    EXPECT_EQ(art(), u32(1) + u32(666) + u32(3) + u32(5) + u16(2) + u16(0) + u16(1) + u16(3) +
                         u16(0) + u16(1) + u32(0) + u32(0) + u32(0x0500FD06) +
                         "\x01\x03\x05\x02\x04\x06\x09");
}

TEST_F(Pump, EmptyDirectoryGivesOneEmptyTileNumberedMinusOne)
{
    put("notes.txt", "x");
    runresult r = pump();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: -1 - -1\n" + path("in") +
                         ": no tile files; the archive written holds no tiles\n");
    EXPECT_EQ(art(), u32(1) + u32(666) + u32(0xFFFFFFFF) + u32(0xFFFFFFFF) + u16(0) + u16(0) + u32(0));
}

TEST_F(Pump, SidecarAloneMakesAnEmptyTileWithItsAnmWord)
{
    put("tile004.yaml", "- animtype: 2\r\n- ycenter: -1\r\n- rgba: 1\r\n");
    if (!leaveout("symbolic links")) {
        ASSERT_EQ(symlink("gone.png", path("in/tile004.png").c_str()), 0);   // an image gone once listed is none
    }
    EXPECT_EQ(pump().status, 0);
    EXPECT_EQ(art(), u32(1) + u32(666) + u32(4) + u32(4) + u16(0) + u16(0) + u32(0x00FF0080));
}

TEST_F(Pump, CountsOnlyNamesOfTheTileForm)
{
    std::string img = indexpng(1, 1, "\x07");
    for (const char *n : {"tile5.png", "tile7.PNG", "tile7.png.bak", ".tile7.png", "tile.png",
                          "tiles0000.art", "tile-3.png", "tile9.yml", "til8.png", "tile8png",
                          "tile 4.yaml", "TILE004.Yml", "tile004.yaml.orig", "tile0005.png", "tile+5.yaml",
                          "tile2.png"})
        put(n, img);
    put("tile004.png", img);
    put("tile005.yaml", "- frames: 2\n");
    put("tile-03.yaml", "");
    runresult r = pump();
    // each file named like a tile file that is never read is named, with the name read instead and what
    // becomes of that tile
    std::string in = path("in/");
    EXPECT_EQ(r.err, welcome + "file ret 0 range: -3 - 5\n" +
                         in + "TILE004.Yml: never read; tile 4 is read from tile004.yaml, which is missing, so its "
                              "sidecar values are 0\n" +
                         in + "tile 4.yaml: never read; tile 4 is read from tile004.yaml, which is missing, so its "
                              "sidecar values are 0\n" +
                         in + "tile+5.yaml: never read; tile 5 is read from tile005.yaml\n" +
                         in + "tile-3.png: never read; tile -3 is read from tile-03.png, which is missing, so it is "
                              "stored without an image\n" +
                         in + "tile0005.png: never read; tile 5 is read from tile005.png, which is missing, so it is "
                              "stored without an image\n" +
                         in + "tile2.png: never read; tile 2 is read from tile002.png, which is missing, so it is "
                              "stored empty\n" +
                         in + "tile5.png: never read; tile 5 is read from tile005.png, which is missing, so it is "
                              "stored without an image\n" +
                         in + "tile7.PNG: never read; no tile 7 is stored: it would be read from tile007.png\n" +
                         in + "tile9.yml: never read; no tile 9 is stored: it would be read from tile009.yaml\n");
    // tile5.png and tile-3.png widen the range, but the pass reads tile005.png and tile-03.png
    std::string tab(9 * 8, '\0');
    tab[2 * 7] = tab[18 + 2 * 7] = 1;   // tile 4
    tab[36 + 4 * 8] = 2;                // tile 5's frames
    EXPECT_EQ(art(), u32(1) + u32(666) + u32(uint32_t(-3)) + u32(5) + tab + "\x07");
}

TEST_F(Pump, TileMinusOneCountsLikeAnyOther)
{
    put("tile-01.png", indexpng(1, 1, "\x0A"));
    put("tile004.png", indexpng(1, 1, "\x0B"));
    runresult r = pump();
    EXPECT_EQ(r.err, welcome + "file ret 0 range: -1 - 4\n");
    std::string a = art();
    ASSERT_EQ(a.size(), 16u + 6 * 8 + 2);
    EXPECT_EQ(a.substr(16, 2), u16(1));
    EXPECT_EQ(a.substr(a.size() - 2), "\x0A\x0B");
}

TEST_F(Pump, MatchesTrueColourToThePalette)
{
    // palette: entry 0 black, 1 and 2 the same red, 3 white; the rest far away
    std::string pal(768, '\0');
    for (int k = 4; k < 256; k++)
        pal[3 * k] = pal[3 * k + 1] = pal[3 * k + 2] = char(200);   // 800 in memory: unreachable
    pal[3] = pal[6] = char(60);
    pal[9] = pal[10] = pal[11] = char(63);
    writefile(path("pal.dat"), pal);
    std::string px = "\xF0\x00\x00\x81"s   // red, alpha 129: nearest is entry 1, not its twin 2
                     "\xF0\x00\x00\x80"s   // alpha 128: transparent
                     "\xFF\xFF\xFF\xFF"s   // white
                     "\x10\x10\x10\xFF"s   // near black
                     "\x00\x00\x00\x00"s;  // fully transparent
    put("tile000.png", encodepng(5, 1, px, 6, 8));
    put("tile000.yaml", "- rgba: 1\n");
    put("tile001.png", encodepng(5, 1, px, 6, 8));
    put("tile001.yaml", "- rgba: 7\n");                // any nonzero value: true colour
    ASSERT_EQ(pump().status, 0);
    std::string a = art();
    EXPECT_EQ(a.substr(a.size() - 10), "\x01\xFF\x03\x00\xFF\x01\xFF\x03\x00\xFF"s);

    // with 8-bit values read at scale 4, no entry lies within 210000 of pure blue
    writefile(path("pal.dat"), std::string(768, char(255)));
    put("tile000.png", encodepng(1, 1, "\x00\x00\xFF\xFF"s, 6, 8));
    ASSERT_EQ(pump().status, 0);
    a = art();
    EXPECT_EQ(a[a.size() - 2], '\xFF');
}

TEST_F(Pump, UnpacksPaletteImagesOfFewerBits)
{
    std::vector<unsigned char> pal = dumppalette(16);
    put("tile000.png", encodepng(3, 2, "\xA0\x00"s, 3, 1, pal));          // 1 0 1 / 0 0 0
    put("tile001.png", encodepng(3, 2, "\x6C\x40"s, 3, 2, pal));          // 1 2 3 / 0 1 0
    put("tile002.png", encodepng(3, 1, "\xF1\x20"s, 3, 4, pal));          // 15 1 2
    ASSERT_EQ(pump().status, 0);
    std::string a = art();
    EXPECT_EQ(a.substr(16 + 3 * 8), "\x01\x00\x00\x00\x01\x00"s "\x01\x00\x02\x01\x03\x00"s
                                    "\x0F\x01\x02"s);
}

// A 16 x 16 grey image: its rows as LodePNG deflates them (filter byte 0
// before each), and a PNG of a zlib stream, its chunks' CRCs good, with
// the bytes of more chunks after IHDR.
static std::string greyrows()
{
    std::string raw;
    for (int i = 0; i < 16 * 17; i++)
        raw += char(i % 17 == 0 ? 0 : i % 17 < 9 ? i : i * 37);
    return raw;
}

static std::string greyzlib()
{
    std::string raw = greyrows();
    unsigned char *z = nullptr;
    size_t n = 0;
    lodepng_zlib_compress(&z, &n, reinterpret_cast<const unsigned char *>(raw.data()), raw.size(),
                          &lodepng_default_compress_settings);
    std::string r(reinterpret_cast<char *>(z), n);
    free(z);
    return r;
}

static std::string greypng(const std::string &z, const std::string &more = "")
{
    std::string png = "\x89PNG\r\n\x1A\n";
    for (std::string data : {"IHDR\0\0\0\x10\0\0\0\x10\x08\0\0\0\0"s, "IDAT" + z, "IEND"s}) {
        size_t n = data.size() - 4;
        png += std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + data + "0000";
        lodepng_chunk_generate_crc(reinterpret_cast<unsigned char *>(&png[png.size() - n - 12]));
        if (data[1] == 'H')
            png += more;
    }
    return png;
}

static std::string u32be(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A valid grey image whose header is made to claim w x h pixels, padded
// after its end to size bytes
static std::string claims(unsigned w, unsigned h, size_t size)
{
    std::string png = encodepng(1, 1, "\x01"s, 0, 8);
    png.replace(16, 8, u32be(w) + u32be(h));
    lodepng_chunk_generate_crc(reinterpret_cast<unsigned char *>(&png[8]));
    return png + std::string(size - png.size(), '\0');
}

TEST_F(Pump, RefusesImagesItCannotTakeInPlainWords)
{
    std::string in = path("in"), good = indexpng(2, 2, "\x01\x02\x03\x04"s);
    std::string badcrc = good, badform = good;
    badcrc[good.size() - 20] ^= 1;                      // inside the image data
    badform[25] = 5;                                    // colour type 5 does not exist
    lodepng_chunk_generate_crc(reinterpret_cast<unsigned char *>(&badform[8]));
    // 1031 x 1000 grey: 1032000 bytes of rows, which 1000 bytes of deflate
    // can hold at best, beside 63 bytes of headers
    std::string atbound = claims(1031, 1000, 1063), pastbound = claims(1031, 1000, 1062);
    // a wrong adler-32 under a good CRC
    std::string z = greyzlib(), badadler = greypng(z.substr(0, z.size() - 1) + "?");
    struct {
        std::string data, side, err;
    } cases[] = {
        {"", "", ": can't decode image: the file is empty [LodePNG error 48]"},
        {"not a png", "", ": can't decode image: not a PNG file [LodePNG error 27]"},
        {good.substr(0, good.size() - 15), "", ": can't decode image: the file ends early (cut short) [LodePNG error 30]"},
        {good.substr(0, 20), "", ": can't decode image: the file ends early (cut short) [LodePNG error 27]"},
        {badcrc, "", ": can't decode image: the file is damaged (checksum or data error) [LodePNG error 57]"},
        {badform, "", ": can't decode image: it uses a form PNG does not allow [LodePNG error 31]"},
        {encodepng(70000, 1, std::string(70000 / 8, '\0'), 0, 1), "- rgba: 1\n",
         ": image is 70000x1, more than a tile's 65535 pixels on a side"},
        {claims(60000, 60000, 100), "- rgba: 1\n",
         ": image claims 60000x60000 pixels, more than its 100 bytes can hold"},
        {atbound, "", ": can't decode image: the file is damaged (checksum or data error) [LodePNG error 91]"},
        {pastbound, "", ": image claims 1031x1000 pixels, more than its 1062 bytes can hold"},
        {badadler, "", ": can't decode image: the file is damaged (checksum or data error) [LodePNG error 58]"},
        {bombpng(64, 64, 1), "", ": can't decode image: the image is too large [LodePNG error 109]"},
    };
    writefile(path("t.art"), "earlier");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        put("tile000.png", c.data);
        put("tile000.yaml", c.side);
        runresult r = pump();
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + in + "/tile000.png" + c.err + "\nerror in pumping\n");
        EXPECT_EQ(art(), "earlier");
        EXPECT_EQ(listdir(dir).size(), 3u);   // pal.dat, in, t.art: no temporary left
    }
    // an image that is there but can't be taken is no missing one, which
    // would leave an empty tile
    std::string why;
    int nobody = otheruser(&why, PROG);
    if (nobody >= 0) {  // for the run as nobody
        ASSERT_EQ(chown(dir.c_str(), uid_t(nobody), gid_t(-1)), 0);
        // with nobody's group too, or it is written in place, as fopen would
        ASSERT_EQ(chown(path("t.art").c_str(), uid_t(nobody), getpwuid(uid_t(nobody))->pw_gid), 0);
    }
    for (const char *d : {"isdir", "loop", "locked"})
        mkdir(path(d).c_str(), 0777);
    mkdir(path("isdir/tile000.png").c_str(), 0777);
    if (!leaveout("symbolic links")) {
        ASSERT_EQ(symlink("tile000.png", path("loop/tile000.png").c_str()), 0);
    }
    writefile(path("locked/tile000.png"), good);
    chmod(path("locked/tile000.png").c_str(), 0);
    struct {
        std::string dir, err;
        int uid;
    } odd[] = {{"isdir", "not a regular file", -1},
               {"loop", "Too many levels of symbolic links", -1},
               {"locked", "Permission denied", nobody}};
    for (const auto &c : odd) {
        SCOPED_TRACE(c.dir);
        if (c.uid < 0 && c.dir == "locked" && geteuid() == 0)
            continue;   // no other user, and root reads any file
        if ((c.dir == "loop" && leaveout("symbolic links")) || (c.dir == "locked" && leaveout("POSIX modes")))
            continue;
        runresult r = run({PROG, "pump", path("t.art"), path("pal.dat"), path(c.dir)}, {.uid = c.uid});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path(c.dir) + "/tile000.png: " + c.err +
                             "\nerror in pumping\n");
        EXPECT_EQ(art(), "earlier");
    }
}

TEST_F(Pump, TakesTallNarrowImagesThatInflateFromLittle)
{
    // valid images far smaller than their pixels, as editors save them,
    // and one with a comment of 17 MiB, deflated, that the pump need not read
    put("tile000.png", encodepng(1, 65535, std::string(65535, '\0'), 0, 8));
    put("tile001.png", encodepng(4, 40000, std::string(4 * 40000 * 4, '\0'), 6, 8));
    std::string bomb = bombpng(1, 1, 17), text = "Comment\0\0"s + bomb.substr(41, bomb.size() - 57);
    std::string ztxt = u32be(uint32_t(text.size())) + "zTXt" + text + "0000";
    lodepng_chunk_generate_crc(reinterpret_cast<unsigned char *>(&ztxt[0]));
    put("tile002.png", indexpng(1, 1, "\x07").insert(33, ztxt));
    runresult r = pump();
    EXPECT_EQ(r.status, 0) << r.err;
    std::string a = art();
    ASSERT_EQ(a.size(), 16u + 3 * 8 + 65535 + 4 * 40000 + 1);
    EXPECT_EQ(a.substr(16, 12), u16(1) + u16(4) + u16(1) + u16(65535) + u16(40000) + u16(1));
    EXPECT_EQ(a.back(), '\x07');
}

TEST_F(Pump, ListsWhatItChangedInTheArchiveItReplaces)
{
    // the archive replaced holds tiles 2 to 8; the directory 3 to 9, edited
    std::string old = makeart(2, 8, {{2, 1, 0, "\x01\x01"}, {2, 2, 0x0000FE00, "\x01\x02\x03\x04"}, {2, 1, 0, "\x05\x06"},
                                     {1, 1, 0, "\x07"}, {0, 0, 0, ""}, {1, 1, 0x30000003, "\x08"}, {1, 1, 0, "\x0A"}});
    put("tile003.png", indexpng(2, 2, "\x01\x03\x09\xFF"));    // one pixel changed, one made transparent
    put("tile003.yaml", "- xcenter: 5\n");
    put("tile004.png", indexpng(2, 3, "\x05\x06\x05\x06\x05\x06"));
    put("tile005.yaml", "- frames: 2\n");
    put("tile006.png", indexpng(1, 1, "\x07"));
    put("tile007.png", indexpng(1, 1, "\x08"));
    put("tile007.yaml", "- frames: 3\n");
    put("tile008.png", indexpng(1, 1, "\x0A"));
    put("tile009.png", indexpng(1, 1, "\x0B"));
    ASSERT_EQ(run({PROG, "pump", path("new.art"), path("pal.dat"), path("in")}).status, 0);
    std::string list = "tile 2: removed, was 2x1\n"
                       "tile 3: 1 pixel changed; 1 pixel made transparent; xcenter -2 -> 5\n"
                       "tile 4: resized 2x1 -> 2x3\n"
                       "tile 5: emptied, was 1x1; frames 0 -> 2\n"
                       "tile 6: was empty, now 1x1\n"
                       "tile 7: anm bits 28-31 3 -> 0\n"
                       "tile 9: added, 1x1\n"
                       "7 of 8 tiles changed; 1 added, 1 removed\n";
    std::string t = path("t.art"), notread = t + ": the file replaced is not a readable tile archive; no changes "
                                                 "listed\n";
    struct {
        const char *what, *needs;
        std::string target;
        std::function<void()> make;
        std::string says;
    } cases[] = {
        {"new", "", t, [] {}, ""},
        {"edited", "", t, [&] { writefile(t, old); }, list},
        {"the same", "", t, [&] { writefile(t, readfile(path("new.art"))); }, "0 of 7 tiles changed\n"},
        {"through a link", "symbolic links", t, [&] { writefile(path("old.art"), old); symlink("old.art", t.c_str()); },
         list},
        {"no archive", "", t, [&] { writefile(t, "not an archive"); }, notread},
        {"pixels cut short", "", t, [&] { writefile(t, old.substr(0, old.size() - 1)); }, notread},
        {"tables cut short", "", t, [&] { writefile(t, old.substr(0, 16 + 7 * 8 - 1)); }, notread},
        {"linked twice", "hard links", t, [&] { writefile(t, old); link(t.c_str(), path("also.art").c_str()); },
         t + ": written in place, so the file replaced can't be compared; no changes listed\n"},
        {"a device", "", path("null"), [] {}, ""},     // a node of its own: never the system's
    };
    std::string nodes;
    bool devices = nullandfull(dir, &nodes);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if ((*c.needs && leaveout(c.needs)) || (c.target == path("null") && !devices))
            continue;
        for (const char *f : {"t.art", "old.art", "also.art"})
            remove(path(f).c_str());
        c.make();
        runresult r = run({PROG, "pump", c.target, path("pal.dat"), path("in")});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, welcome + "file ret 0 range: 3 - 9\n" + c.says);
        if (c.target == t) {
            EXPECT_EQ(readfile(t), readfile(path("new.art")));
        }
    }
}

TEST_F(Pump, TakesLimitsAtTheLimit)
{
    // 65536 tiles and 65535 pixels on a side are as much as an archive holds
    put("tile 0.yaml", "");                         // blanks may come before the number
    put("tile65535.yaml", "- frames: 1\n");
    put("tile000.png", encodepng(65535, 1, std::string(8192, '\0'), 0, 1));
    runresult r = pump();
    EXPECT_EQ(r.status, 0);
    std::string a = art();
    ASSERT_EQ(a.size(), 16u + 8 * 65536 + 65535);
    EXPECT_EQ(a.substr(8, 8), u32(0) + u32(65535));
    EXPECT_EQ(a.substr(16, 2), u16(65535));
    EXPECT_EQ(a.substr(16 + 4 * 65536 + 4 * 65535, 4), u32(1));

    // each bound of an image one past it, or at it; a file past its image's
    // end is made sparse: 1x1 at 8 bits may inflate to 21 bytes, its file
    // hold 64 MiB more than twice that
    remove(path("in/tile 0.yaml").c_str());
    remove(path("in/tile65535.yaml").c_str());
    std::string one = indexpng(1, 1, "\x01"s), bits = std::string(8192, '\0');
    uint64_t most = 2 * 21 + (64 << 20);
    struct {
        std::string png;
        uint64_t size;
        std::string err;
    } cases[] = {
        {encodepng(65536, 1, bits, 0, 1), 0, "image is 65536x1, more than a tile's 65535 pixels on a side"},
        {encodepng(1, 65536, bits, 0, 1), 0, "image is 1x65536, more than a tile's 65535 pixels on a side"},
        {one, most, ""},
        {one, most + 1, std::to_string(most + 1) + " bytes, far more than an image of 1x1 pixels needs"},
    };
    // what replacing the archive of 65536 tiles changed: 16 lines, the rest counted
    std::string changes = "tile 0: resized 65535x1 -> 1x1\n";
    for (int t = 1; t < 16; t++)
        changes += "tile " + std::to_string(t) + ": removed, was empty\n";
    changes += "... and 65520 more\n65536 of 65536 tiles changed; 65535 removed\n";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        put("tile000.png", c.png);
        if (c.size) {
            ASSERT_EQ(truncate(path("in/tile000.png").c_str(), off_t(c.size)), 0);
        }
        r = pump();
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 2);
        EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" +
                             (c.err.empty() ? changes : path("in/tile000.png") + ": " + c.err + "\nerror in pumping\n"));
    }
    EXPECT_EQ(art(), u32(1) + u32(666) + u32(0) + u32(0) + u16(1) + u16(1) + u32(0) + "\x01");
}

TEST_F(Pump, RefusesRangesTooWideForAnArchive)
{
    // the ends of the 32-bit range are tiles like any other
    for (int32_t t : {INT32_MIN, INT32_MAX}) {
        std::string name = "tile" + std::to_string(t) + ".yaml";
        put(name, "");
        runresult r = pump();
        EXPECT_EQ(r.err, welcome + "file ret 0 range: " + std::to_string(t) + " - " + std::to_string(t) + "\n" +
                             (t > 0 ? "tile -2147483648: removed, was empty\ntile 2147483647: added, empty\n"
                                      "2 of 2 tiles changed; 1 added, 1 removed\n" : ""));
        EXPECT_EQ(art(), u32(1) + u32(666) + u32(uint32_t(t)) + u32(uint32_t(t)) + u16(0) + u16(0) + u32(0));
        remove(path("in/" + name).c_str());
    }
    remove(path("t.art").c_str());
    put("tile0.png", "");
    put("tile65536.yaml", "");
    runresult r = pump();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 65536\n" + path("in") +
                         ": tiles 0 to 65536 are more than 65536\nerror in pumping\n");
    remove(path("in/tile65536.yaml").c_str());
    put("tile-2147483649.png", "");
    r = pump();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: -2147483649 - 0\n" + path("in") +
                         ": tile number outside the 32-bit range\nerror in pumping\n");
    EXPECT_FALSE(exists(path("t.art")));
}

TEST_F(Pump, KeepsTheEarlierArchiveWhenItFails)
{
    writefile(path("t.art"), "earlier");
    mkdir(path("dir.art").c_str(), 0777);
    put("tile000.png", indexpng(64, 64, std::string(64 * 64, '\x01')));
    // a palette or an archive that can't be opened or created (a directory
    // can't) stops the pump before its scan; a palette that can't be read
    // says why; a directory whose reading fails, at its first entry or at
    // its end (., .., tile000.png), is no shorter one
    std::string eio = path("in") + ": can't read directory: Input/output error\n";
    struct {
        std::string art, pal, dir, err;
        std::vector<std::string> env = {};
    } cases[] = {
        {"t.art", "pal.dat", "nodir",
         "file ret -1 range: -1 - -1\n" + path("nodir") + ": can't read directory: No such file or directory\n"},
        {"t.art", "nopal.dat", "in", ""},
        {"t.art", "in", "in", path("in") + ": can't read palette: Is a directory\n"},
        {"nodir/t.art", "pal.dat", "in", ""},
        {"dir.art", "pal.dat", "in", ""},
        {"t.art", "pal.dat", "in", "file ret -1 range: -1 - -1\n" + eio, faildisk({"FAILREADDIR=0"})},
        {"t.art", "pal.dat", "in", "file ret -1 range: 0 - 0\n" + eio, faildisk({"FAILREADDIR=3"})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.art + " " + c.pal + " " + c.dir);
        if (!c.env.empty() && leaveout("LD_PRELOAD"))
            continue;
        runresult r = run({PROG, "pump", path(c.art), path(c.pal), path(c.dir)}, {.env = c.env});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + c.err + "error in pumping\n");
        EXPECT_EQ(art(), "earlier");
    }

    // a file size limit makes the write fail part way
    SKIP_WITHOUT("resource limits");
    runresult r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("in")}, {.fsize = 1024});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("t.art") +
                         ": can't write archive: File too large\nerror in pumping\n");
    EXPECT_EQ(art(), "earlier");
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"dir.art", "in", "pal.dat", "t.art"}));
}

TEST_F(Pump, WorksWithPathsLongerThan260AndNamesInCyrillic)
{
    std::string deep = path("in");
    for (int i = 0; i < 6; i++) {
        deep += "/" + std::string(60, char('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    deep += "/Тайлы";   // and a name in Cyrillic, in UTF-8
    ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    writefile(deep + "/tile000.png", indexpng(1, 1, "\x05"));
    writefile(deep + "/tile000.yaml", "- frames: 2\n");
    runresult r = run({PROG, "pump", deep + "/t.art", path("pal.dat"), deep});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readfile(deep + "/t.art"), u32(1) + u32(666) + u32(0) + u32(0) + u16(1) + u16(1) +
                                             u32(2) + "\x05");
}

// What a dump followed by a pump can't keep: version, numtiles and anm bits 28-31.
static std::string normalise(std::string a)
{
    a.replace(0, 8, u32(1) + u32(666));
    int32_t first = int32_t(uint8_t(a[8]) | uint8_t(a[9]) << 8 | uint8_t(a[10]) << 16 | uint8_t(a[11]) << 24);
    int32_t last = int32_t(uint8_t(a[12]) | uint8_t(a[13]) << 8 | uint8_t(a[14]) << 16 | uint8_t(a[15]) << 24);
    size_t n = size_t(last - first + 1);
    for (size_t i = 0; i < n; i++)
        a[16 + 4 * n + 4 * i + 3] &= 0x0F;
    return a;
}

// files limits the pump's open files: images it can't keep open between
// its passes are opened again. err gets what both runs said.
static void roundtrip(const std::string &dir, const std::string &artpath, const std::string &pal, long files = 0,
                      std::string *err = nullptr)
{
    std::string out = dir + "/rt";
    mkdir(out.c_str(), 0777);
    runresult r = run({PROG, "dump", artpath, pal, out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string said = r.err;
    r = run({PROG, "pump", dir + "/back.art", pal, out}, {.files = lacks("resource limits").empty() ? files : 0});
    ASSERT_EQ(r.status, 0) << r.err;
    // what a dump wrote is taken in without a note: the palette's notes, as
    // the dump gave them after its summary, then the range alone
    size_t range = r.err.find("file ret");
    std::string palnotes = said.substr(said.find('\n', said.find("dump mode:")) + 1);
    EXPECT_EQ(r.err.substr(0, range), welcome + palnotes);
    EXPECT_EQ(std::count(r.err.begin() + ssize_t(range), r.err.end(), '\n'), 1) << r.err;
    if (err)
        *err = said + r.err;
    std::string want = normalise(readfile(artpath)), got = readfile(dir + "/back.art");
    ASSERT_EQ(got.size(), want.size());
    auto diff = std::mismatch(want.begin(), want.end(), got.begin());
    EXPECT_EQ(diff.first - want.begin(), ssize_t(want.size())) << "first difference";
}

TEST_F(Pump, GivesBackTheSampleArchive)
{
    std::string err;
    roundtrip(dir, SAMPLES "/tiles0000.art", SAMPLES "/palette.dat", 0, &err);
    EXPECT_EQ(err.find("palette.dat:"), std::string::npos) << err;     // no note of the palette
}

TEST_F(Pump, GivesBackAGeneratedArchiveOfManyTiles)
{
    std::mt19937 rng(7);
    std::vector<fixtile> tiles;
    for (int i = 0; i < 300; i++) {
        unsigned w = rng() % 5 == 0 ? 0 : 1 + rng() % 40, h = rng() % 7 == 0 ? 0 : 1 + rng() % 40;
        fixtile t{w, h, uint32_t(rng()), ""};
        if (w == 0 || h == 0)   // an empty tile's size and anm word are not dumped
            t = fixtile{0, 0, 0, ""};
        for (unsigned k = 0; k < w * h; k++)
            t.cols += char(k % 3 ? rng() : (k / 9) % 256);
        tiles.push_back(t);
    }
    tiles.front() = fixtile{3, 1, 0, "abc"};    // the ends must hold images: a dump of
    tiles.back() = fixtile{1, 2, 0x1000, "de"}; // empty end tiles can't show the range
    tiles[150] = fixtile{37, 30001, 0, ""};     // written in strips of 32 columns and 5
    tiles[10] = fixtile{31, 64, 0, ""};         // 2048 filtered bytes: the middle deflate level
    for (int i : {10, 150})
        for (size_t k = 0; k < size_t(tiles[i].w) * tiles[i].h; k++)
            tiles[i].cols += char(k % 5 ? rng() : k / 5);
    writefile(path("t.art"), makeart(-20, 279, tiles, 9, 12345));
    roundtrip(dir, path("t.art"), "blood:" + path("pal.dat"), 100);
}

// Decoding through libdeflate: LodePNG's codes for damage, and its bound on
// the inflated data at the limit and one past it.
TEST(Zcodec, RefusesDamageAsLodePNGDoes)
{
    std::string z = greyzlib(), good = greypng(z);
    auto flip = [](std::string s, size_t at) { return s[at] ^= 1, s; };
    auto withlen = [&](uint32_t n) {   // IDAT's length
        return good.substr(0, 33) + std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + good.substr(37);
    };
    struct {
        const char *what;
        std::string png;
        size_t max;
        unsigned code;
    } cases[] = {
        {"intact", good, 0, 0},
        {"inflating to the bound", good, 16 * 17, 0},
        {"one byte past the bound", good, 16 * 17 - 1, 109},
        {"IDAT's CRC", flip(good, good.size() - 13), 0, 57},
        {"IEND's CRC", flip(good, good.size() - 1), 0, 57},
        {"an unknown chunk's CRC", greypng(z, "\0\0\0\1abCdxJUNK"s), 0, 0},     // not read: not checked
        {"a known chunk's CRC", greypng(z, "\0\0\0\1tEXtxJUNK"s), 0, 57},
        {"PLTE's CRC", greypng(z, "\0\0\0\3PLTEabcJUNK"s), 0, 57},
        {"an unknown critical chunk", greypng(z, "\0\0\0\1ABCDxJUNK"s), 0, 69},
        {"a chunk after IEND", good + "\0\0\0\0abCdJUNK"s, 0, 0},
        {"IEND cut short", good.substr(0, good.size() - 1), 0, 30},
        {"a length reaching the end", withlen(uint32_t(z.size() + 12)), 0, 57},
        {"a length one past the end", withlen(uint32_t(z.size() + 13)), 0, 30},
        {"a length of 2^31 - 1", withlen(0x7FFFFFFF), 0, 30},
        {"a length over 2^31 - 1", withlen(0x80000000), 0, 63},
        {"the adler-32", greypng(flip(z, z.size() - 1)), 0, 58},
        {"a byte after the adler-32", greypng(z + '\0'), 0, 58},
        {"no adler-32", greypng(z.substr(0, z.size() - 4)), 0, 58},
        {"FCHECK", greypng("\x78\x00"s + z.substr(2)), 0, 24},
        {"compression method 7", greypng("\x77\x09"s + z.substr(2)), 0, 25},
        {"a window of 64 KiB", greypng("\x88\x1C"s + z.substr(2)), 0, 25},
        {"a preset dictionary", greypng("\x78\x20"s + z.substr(2)), 0, 26},
        {"one byte of zlib data", greypng("\x78"), 0, 53},
        {"a reserved block type", greypng(z.substr(0, 2) + "\x07" + z.substr(3)), 0, 110},
    };
    std::string want = greyrows();
    std::erase_if(want, [n = 0](char) mutable { return n++ % 17 == 0; });
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LodePNGState st;
        lodepng_state_init(&st);
        st.decoder.color_convert = 0;
        st.decoder.zlibsettings.max_output_size = c.max;
        unsigned char *px = nullptr;
        unsigned w = 0, h = 0;
        unsigned e = zdecode(&px, &w, &h, &st, reinterpret_cast<const unsigned char *>(c.png.data()), c.png.size());
        EXPECT_EQ(e, c.code);
        if (e == 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(px), 256), want);
        }
        EXPECT_EQ(st.decoder.ignore_crc, 0u);   // the settings as found
        EXPECT_EQ(st.decoder.zlibsettings.custom_zlib, nullptr);
        free(px);
        lodepng_state_cleanup(&st);
    }
}
