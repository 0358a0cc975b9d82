// Colour matching, unit by unit and end to end, against plain reference loops.
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/stat.h>

#include "match.h"
#include "testutil.h"
#include "tilefix.h"

using namespace std::string_literals;

static palette loaded(const std::string &bytes, int scale)
{
    palette pal;
    auto at = [&](size_t i) { return (i < bytes.size() ? int32_t(uint8_t(bytes[i])) : -1) * scale; };
    for (size_t k = 0; k < 256; k++)
        pal.r[k] = at(3 * k), pal.g[k] = at(3 * k + 1), pal.b[k] = at(3 * k + 2);
    return pal;
}

TEST(Match, EveryBuildGivesTheReferenceResult)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 40; round++) {
        // 8-bit channels scaled by 4 reach 1020, past the 210000 limit; a
        // short file gives -1 or -4; repeated entries make ties
        std::string bytes;
        for (int k = 0; k < 768; k++)
            bytes += char(round % 4 == 0 ? rng() % 64 : rng());
        for (int k = 0; k < 30; k++)
            bytes.replace(3 * (rng() % 256), 3, bytes.substr(3 * (rng() % 256), 3));
        if (round % 5 == 1)
            bytes.resize(rng() % 768);
        int scale = round % 2 ? 4 : 1;
        palette pal = loaded(bytes, scale);
        std::vector<unsigned char> px;
        for (int i = 0; i < 300; i++) {
            size_t e = 3 * (rng() % 256);
            if (i % 3 == 0 && e + 3 <= bytes.size())    // a colour of the palette itself
                px.insert(px.end(), bytes.begin() + long(e), bytes.begin() + long(e) + 3);
            else
                px.insert(px.end(), {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
            px.push_back(uint8_t(120 + rng() % 20));    // alpha around the cut at 128
        }
        std::string want;
        for (size_t i = 0; i < px.size(); i += 4)
            want += char(refmatch(bytes, scale, &px[i]));
        for (int c = 0; c < 3; c++) {
            if (!nearestclones[c])
                continue;
            SCOPED_TRACE("round " + std::to_string(round) + ", build " + std::to_string(c));
            for (size_t i = 0; i < px.size(); i += 4) {
                if (px[i + 3] > 128) {
                    ASSERT_EQ(nearestclones[c](pal, px[i], px[i + 1], px[i + 2]), uint8_t(want[i / 4])) << i / 4;
                }
            }
        }
        auto cache = std::make_unique<colourcache>();
        std::string got(px.size() / 4, '\0');
        for (int pass = 0; pass < 2; pass++) {  // the second from the cache
            matchcolours(px.data(), px.size() / 4, pal, cache.get(), reinterpret_cast<unsigned char *>(&got[0]));
            ASSERT_EQ(got, want);
        }
    }
}

// Every build gives the same colours, so only this tells them apart: a
// build in the wrong slot would run on a processor that lacks its
// instructions, or leave a faster one unused.
TEST(Match, EachSlotHoldsItsOwnBuild)
{
#if defined(__x86_64__) && defined(__GNUC__)
    EXPECT_EQ(nearestclones[0] != nullptr, bool(__builtin_cpu_supports("avx512f")));
    EXPECT_EQ(nearestclones[1] != nullptr, bool(__builtin_cpu_supports("avx2")));
#endif
    ASSERT_NE(nearestclones[2], nullptr);
    for (int a = 0; a < 3; a++)
        for (int b = a + 1; b < 3; b++)
            EXPECT_TRUE(!nearestclones[a] || nearestclones[a] != nearestclones[b]) << a << " " << b;
}

TEST(Match, NothingWithin210000IsTransparent)
{
    // every entry 100, 200, 400 once scaled: exactly 210000 from black
    std::string bytes;
    for (int k = 0; k < 256; k++)
        bytes += "\x19\x32\x64";
    palette pal = loaded(bytes, 4);
    EXPECT_EQ(nearest(pal, 0, 0, 0), 255);
    pal.b[77] = 399;                            // 209201: near enough
    EXPECT_EQ(nearest(pal, 0, 0, 0), 77);
}

class MatchPump : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        mkdir(path("in").c_str(), 0777);
    }
    std::string dumpedfor;
    std::vector<unsigned char> dumped;

    // Pumps one image as tile 0 with the palette file's bytes and checks
    // every pixel and the note against the reference. The palette a dump
    // writes comes from a dump of a one-tile archive, once per palette.
    void check(const std::string &png, const std::string &pal, int scale, bool keep)
    {
        std::string arg = (scale == 1 ? "blood:" : "") + path("pal.dat");
        writefile(path("pal.dat"), pal);
        if (dumpedfor != arg + pal) {
            dumpedfor = arg + pal;
            writefile(path("one.art"), makeart(0, 0, {{1, 1, 0, "\x00"s}}));
            mkdir(path("one").c_str(), 0777);
            ASSERT_EQ(run({PROG, "dump", path("one.art"), arg, path("one")}).status, 0);
            dumped = decodepng(path("one/tile000.png")).pal;
            ASSERT_EQ(dumped.size(), 1024u);
        }
        writefile(path("in/tile000.png"), png);
        writefile(path("in/tile000.yaml"), keep ? "" : "- rgba: 1\n");
        remove(path("t.art").c_str());     // a new archive: no changes listed
        runresult r = run({PROG, "pump", path("t.art"), arg, path("in")});
        ASSERT_EQ(r.status, 0) << r.err;
        refresult want = reference(png, pal, scale, keep, dumped);
        std::string a = readfile(path("t.art"));
        ASSERT_EQ(a.size(), 24 + want.px.size());
        EXPECT_EQ(a.substr(16, 4), u16(want.w) + u16(want.h));
        for (unsigned y = 0; y < want.h; y++)
            for (unsigned x = 0; x < want.w; x++)
                ASSERT_EQ(a[24 + x * want.h + y], want.px[y * want.w + x]) << x << "," << y;
        std::vector<std::string> says;
        if (want.transparent > 0)
            says.push_back(std::to_string(want.transparent) + (want.transparent == 1 ? " pixel" : " pixels") +
                           " made transparent");
        if (want.reordered)
            says.push_back("palette reordered");
        if (want.missing > 0)
            says.push_back(want.missing == 1 ? "1 colour not in the palette; nearest used"
                                             : std::to_string(want.missing) + " colours not in the palette; nearest used");
        else if (want.reordered || (want.matched < 0 && size_t(want.transparent) < want.px.size()))
            says.push_back("every colour found exactly");
        std::string note;
        for (const std::string &s : says)
            note += (note.empty() ? "" : "; ") + s;
        if (keep && want.matched != 0 && !note.empty())
            note = path("in/tile000.png") + ": " + (want.matched < 0 ? "not a palette image; " : "") + note + "\n";
        else
            note = "";
        // palettes of either width are given in either form here: the load notes it
        std::string palnote, file = path("pal.dat");
        bool high = std::any_of(pal.begin(), pal.end(), [](char c) { return uint8_t(c) > 63; });
        if (scale == 4 && high)
            palnote = file + ": values above 63, so it holds 8-bit colours: give it as blood:" + file + "\n";
        if (scale == 1 && !high)
            palnote = file + ": every value is below 64, so it holds 6-bit colours: give it without blood:\n";
        EXPECT_EQ(r.err, welcome + palnote + "file ret 0 range: 0 - 0\n" + note);
    }
};

TEST_F(MatchPump, KeepsIndicesWhereThePalettesAgreeAndMatchesTheRest)
{
    // image entries: 0 is the file's entry 5, 1 the file's own, 2 transparent,
    // 3 the file's own colour at alpha 200; index 9 lies past its palette
    std::vector<unsigned char> pal = dumppalette(4);
    std::copy_n(&dumppalette(6)[20], 4, pal.begin());
    pal[11] = 0;
    pal[15] = 200;
    std::string png = encodepng(5, 1, "\x00\x01\x02\x03\x09"s, 3, 8, pal);
    writefile(path("pal.dat"), testpalette());
    writefile(path("in/tile000.png"), png);
    runresult r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("in")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("in/tile000.png") +
                         ": 1 pixel made transparent; palette reordered; every colour found exactly\n");
    EXPECT_EQ(readfile(path("t.art")).substr(24), "\x05\x01\xFF\x03\x09"s);
    check(png, testpalette(), 4, true);
    check(png, testpalette(), 4, false);

    // a palette file holding one colour twice: an image's index stays; an
    // image of that very palette, taken by colour, gets the first of the two
    std::string twice = testpalette();
    twice.replace(3 * 9, 3, twice.substr(3 * 4, 3));
    check(indexpng(2, 1, "\x04\x09"s), twice, 4, true);
    std::vector<unsigned char> same = dumppalette();
    std::copy_n(&same[4 * 4], 4, &same[4 * 9]);
    check(encodepng(2, 1, "\x04\x09"s, 3, 8, same), twice, 4, true);
    check(encodepng(2, 1, "\x04\x09"s, 3, 8, same), twice, 4, false);

    // images of colours: grey, grey and alpha, RGB with a colour key, 16 bits
    std::mt19937 rng(5);
    std::string grey, ga, rgb, rgba16;
    for (int i = 0; i < 64; i++) {
        grey += char(rng());
        ga += {char(rng()), char(110 + rng() % 40)};
        rgb += {char(rng() % 4 * 80), char(rng() % 4 * 80), char(0)};
        for (int k = 0; k < 8; k++)
            rgba16 += char(rng());
    }
    check(encodepng(8, 8, grey, 0, 8), testpalette(), 4, true);
    check(encodepng(8, 8, ga, 4, 8), testpalette(), 4, true);
    check(encodepng(8, 8, rgba16, 6, 16), testpalette(), 4, true);
    check(encodepng(8, 8, rgba16, 6, 16), testpalette(), 4, false);
    check(encodepng(8, 8, rgb, 2, 8), testpalette(), 4, true);
    check(encodepng(2, 1, std::string(8, '\0'), 6, 8), testpalette(), 4, true);   // wholly transparent
}

TEST_F(MatchPump, TakesPngSuiteImagesAsTheReferenceDoes)
{
    std::string suite = PNGSUITE;
    for (const auto &name : listdir(suite)) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".png")
            continue;
        SCOPED_TRACE(name);
        std::string file = readfile(suite + "/" + name);
        png p = decodepng(suite + "/" + name);
        ASSERT_EQ(p.err, 0u);
        // 8-bit palette file agreeing with a palette image at even entries
        std::string pal;
        for (int k = 0; k < 256; k++)
            for (int c = 0; c < 3; c++)
                pal += char(k % 2 == 0 && size_t(4 * k) < p.pal.size() ? p.pal[4 * k + c] : k * 7 + c * 50);
        check(file, pal, 1, true);
        // that archive dumped and pumped again: itself
        std::string a = readfile(path("t.art"));
        mkdir(path("rt").c_str(), 0777);
        ASSERT_EQ(run({PROG, "dump", path("t.art"), "blood:" + path("pal.dat"), path("rt")}).status, 0);
        ASSERT_EQ(run({PROG, "pump", path("back.art"), "blood:" + path("pal.dat"), path("rt")}).status, 0);
        EXPECT_EQ(readfile(path("back.art")), a);
        check(file, pal, 1, false);
        check(file, pal, 4, true);
    }
}

TEST_F(MatchPump, TakesRandomImagesWithRandomPalettesAsTheReferenceDoes)
{
    std::mt19937 rng(9);
    for (int round = 0; round < 30; round++) {
        SCOPED_TRACE(round);
        std::string pal;
        for (int k = 0; k < 768; k++)
            pal += char(round % 3 ? rng() : rng() % 64);
        unsigned w = 1 + rng() % 40, h = 1 + rng() % 40;
        std::string raw;
        unsigned type = std::vector<unsigned>{0, 2, 3, 4, 6}[rng() % 5];
        unsigned depth = type == 3 ? std::vector<unsigned>{1, 2, 4, 8}[rng() % 4] : 8;
        size_t bytes = (size_t(w) * depth * (type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1) + 7) / 8 * h;
        std::vector<unsigned char> plte;
        for (unsigned k = 0; type == 3 && k < (1u << depth); k++)
            plte.insert(plte.end(), {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(rng() % 3 ? 255 : rng())});
        if (type == 3 && rng() % 2)     // some entries the palette file's own
            for (size_t k = 0; k < plte.size() / 4; k += 2)
                for (int c = 0; c < 3; c++)
                    plte[4 * k + c] = uint8_t(uint8_t(pal[3 * k + c]) * (round % 3 ? 1 : 4));
        for (size_t i = 0; i < bytes; i++)
            raw += char(rng() % 4 ? rng() : 255);
        std::string png = encodepng(w, h, raw, type, depth, plte);
        ASSERT_FALSE(png.empty());
        check(png, pal, round % 3 ? 1 : 4, true);
        check(png, pal, round % 3 ? 1 : 4, false);
    }
}
