#include <cstdio>
#include <gtest/gtest.h>
#include <vector>

#include "art.h"
#include "testutil.h"
#include "tilefix.h"

TEST(Art, ReadsAndWritesLittleEndianWords)
{
    FILE *f = tmpfile();
    write_u32(f, 0x11223344);
    write_u32(f, 0xFFFFFFFE);
    fputc(0x7F, f);
    rewind(f);
    unsigned char b[8];
    ASSERT_EQ(fread(b, 1, 8, f), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b), 8), "\x44\x33\x22\x11\xFE\xFF\xFF\xFF");
    rewind(f);
    EXPECT_EQ(read_u32(f), 0x11223344u);
    EXPECT_EQ(read_u32(f), 0xFFFFFFFEu);
    EXPECT_FALSE(feof(f));
    EXPECT_EQ(read_u32(f), 0x7Fu);  // one byte left: short read shows as end of file
    EXPECT_TRUE(feof(f));
    fclose(f);
}

TEST(Anm, PacksAndUnpacksAtTheEdges)
{
    struct {
        int32_t frames, animtype;
        int xc, yc;
        int32_t speed;
        uint32_t word;
    } cases[] = {
        {0, 0, 0, 0, 0, 0},
        {63, 3, -1, -1, 15, 0x0FFFFFFF},
        {0, 0, -128, 0, 0, 0x00008000},
        {0, 0, 127, -128, 0, 0x00807F00},
        {5, 2, 3, -3, 9, 0x09FD0385},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(encodeanm(c.frames, c.animtype, int8_t(c.xc), int8_t(c.yc), c.speed), c.word);
        int32_t frames = 1, animtype = 1, speed = 1;
        int8_t xc = 1, yc = 1;
        decodeanm(c.word, &frames, &animtype, &xc, &yc, &speed);
        EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(animtype, c.animtype);
        EXPECT_EQ(xc, c.xc);
        EXPECT_EQ(yc, c.yc);
        EXPECT_EQ(speed, c.speed);
    }
}

TEST(Anm, OutOfRangeFieldsWrap)
{
    EXPECT_EQ(encodeanm(64, 4, 0, 0, 16), 0u);
    EXPECT_EQ(encodeanm(-1, 0, 0, 0, 0), 63u);
    EXPECT_EQ(encodeanm(70, 5, 0, 0, 17), 0x01000046u);
    int32_t frames, animtype, speed;
    int8_t xc, yc;
    decodeanm(0xF0000000, &frames, &animtype, &xc, &yc, &speed);
    EXPECT_EQ(frames | animtype | xc | yc | speed, 0);
}

TEST(Anm, SelfTestRoundTripsEveryWord)
{
    runresult r = run({PROG, "testanm", "extra", "args"}, {.maxout = 64 << 10});   // a broken codec says a line per word
    std::string want = welcome + "secret anmflag testing mode\n";
    const char *progress[] = {"0", "1000000", "2000000", "3000000", "4000000", "5000000",
                              "6000000", "7000000", "8000000", "9000000", "A000000", "B000000",
                              "C000000", "D000000", "E000000", "F000000"};
    for (const char *p : progress)
        want += std::string("progress ") + p + "\n";
    want += "done.\n";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(r.out, "");
}

TEST(Art, TransposesAnyShape)
{
    for (auto [rows, cols] : {std::pair<size_t, size_t>{1, 1}, {2, 3}, {16, 16}, {17, 33}, {64, 48}, {5, 100}}) {
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols));
        std::vector<unsigned char> src(rows * cols), dst(rows * cols), back(rows * cols);
        for (size_t i = 0; i < src.size(); i++)
            src[i] = uint8_t(i * 7 + i / 256);
        transpose(src.data(), rows, cols, dst.data());
        for (size_t r = 0; r < rows; r++)
            for (size_t c = 0; c < cols; c++)
                ASSERT_EQ(dst[c * rows + r], src[r * cols + c]) << r << "," << c;
        transpose(dst.data(), cols, rows, back.data());
        EXPECT_EQ(back, src);
    }
}
