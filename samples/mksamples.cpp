// Writes the sample files into the directory given: a tile archive of
// pictures drawn here, the 6-bit palette it uses, and a wave bank.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixbytes.h"

static bool save(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// 16 ramps of 16 shades, dark to light; entry 255 is the transparent mark.
enum { grey, red, orange, yellow, lime, green, cyan, sky, blue, violet, magenta, pink, brown,
       skin, olive, steel };
static int shade(int ramp, int level) { return ramp * 16 + level; }

static std::string makepalette()
{
    static const int base[16][3] = {
        {255, 255, 255}, {255, 40, 40},  {255, 140, 20}, {255, 230, 40},
        {160, 255, 40},  {40, 200, 60},  {40, 230, 230}, {90, 170, 255},
        {50, 70, 255},   {150, 70, 255}, {255, 60, 255}, {255, 150, 190},
        {150, 90, 40},   {240, 190, 150}, {150, 150, 60}, {120, 140, 170}};
    std::string pal;
    for (int i = 0; i < 256; i++)
        for (int c = 0; c < 3; c++) {
            int v = base[i / 16][c] * (i % 16 + 1) / 16;
            pal += char(v >> 2);    // 6-bit channels
        }
    pal[3 * 255] = 63, pal[3 * 255 + 1] = 0, pal[3 * 255 + 2] = 63;
    return pal;
}

struct picture {
    unsigned w, h;
    uint32_t anm;
    std::function<int(int x, int y)> px;
};

static uint32_t anm(int frames, int animtype, int xc, int yc, int speed)
{
    return (frames & 63) | (animtype & 3) << 6 | (xc & 255) << 8 | (yc & 255) << 16 |
           (speed & 15) << 24;
}

static std::string drawart()
{
    auto in = [](double dx, double dy, double r) { return dx * dx + dy * dy <= r * r; };
    std::vector<picture> pictures = {
        {64, 64, 0, [](int x, int) { return shade(grey, x / 4); }},
        {32, 32, 0, [](int x, int y) { return (x / 8 + y / 8) % 2 ? shade(red, 12) : shade(grey, 15); }},
        {64, 64, anm(0, 0, 0, 28, 0), [&](int x, int y) {
             return in(x - 31.5, y - 31.5, 30) ? shade(blue, 15 - int(std::hypot(x - 24, y - 22) / 4)) : 255;
         }},
        {0, 0, 0, nullptr},     // an empty slot: no pixels, no animation
        {48, 16, 0, [](int x, int y) { return shade(1 + x / 6, 8 + y / 2); }},
        {40, 40, anm(0, 0, -2, 0, 0), [&](int x, int y) {
             if (!in(x - 19.5, y - 19.5, 19)) return 255;
             if (in(x - 13, y - 14, 3) || in(x - 26, y - 14, 3)) return shade(grey, 0);
             if (in(x - 19.5, y - 20, 12) && !in(x - 19.5, y - 17, 12)) return shade(brown, 3);
             return shade(yellow, 14);
         }},
        {16, 64, 0, [](int, int y) { return shade(green, 15 - y / 4); }},
        {1, 1, 0, [](int, int) { return shade(magenta, 15); }},
        {64, 32, anm(4, 1, 0, 0, 3), [](int x, int y) { return (x + y) / 8 % 2 ? shade(orange, 13) : shade(brown, 6); }},
        {32, 32, 0, [&](int x, int y) {
             double d = std::hypot(x - 15.5, y - 15.5);
             return d > 15.5 ? 255 : int(d / 4) % 2 ? shade(grey, 15) : shade(red, 13);
         }},
        {0, 0, 0, nullptr},
        {48, 48, anm(0, 0, 0, -24, 0), [](int x, int y) { return std::abs(x - 24) * 2 <= y ? shade(lime, 6 + y / 5) : 255; }},
        {24, 24, 0, [](int x, int y) { return (x >= 9 && x < 15) || (y >= 9 && y < 15) ? shade(red, 14) : shade(grey, 15); }},
        {128, 64, anm(8, 2, 0, 0, 6), [](int x, int y) {
             int ramp = y < 40 ? sky : green;
             return shade(ramp, y < 40 ? 15 - y * 10 / 40 : 4 + (x + y) % 3);
         }},
    };
    std::vector<fixtile> tiles;
    for (const auto &p : pictures) {
        fixtile t{p.w, p.h, p.anm, ""};
        for (unsigned x = 0; x < p.w; x++)
            for (unsigned y = 0; y < p.h; y++)
                t.cols += char(p.px(int(x), int(y)));
        tiles.push_back(std::move(t));
    }
    return makeart(0, int32_t(tiles.size() - 1), tiles, 1, uint32_t(tiles.size()));
}

// A wave bank of synthetic 8-bit signed waveforms, made for 8000 Hz, names
// padded as a pump writes them: spaces up to byte 14, byte 15 zero.
static std::string makezbq()
{
    const double pi = 3.14159265358979;
    struct wave {
        const char *name;
        unsigned len;
        uint32_t loopbegin, loopend;
        int32_t finetune;
        std::function<double(int i)> f;     // -1 .. 1; i signed, so -i is negative
    };
    uint32_t noise = 12345;
    std::vector<wave> waves = {
        // pitch falls from 200 Hz to 50 Hz; the phase is the integral of that frequency
        {"KICK", 6000, 0, 0, 0, [&](int i) {
             double cycles = (50.0 * i + 150 * 400 * (1 - std::exp(-i / 400.0))) / 8000;
             return std::sin(2 * pi * cycles) * std::exp(-i / 1000.0);
         }},
        // noise over a short 185 Hz body; at most 1 together
        {"SNARE", 4000, 0, 0, -3, [&](int i) {
             noise = noise * 1103515245 + 12345;
             double n = (int(noise >> 16 & 255) - 128) / 128.0;
             return 0.6 * n * std::exp(-i / 700.0) +
                    0.4 * std::sin(2 * pi * 185 * i / 8000) * std::exp(-i / 250.0);
         }},
        {nullptr, 0, 0, 0, 0, nullptr},     // an empty record
        // loops are whole periods, so they play without a click
        {"SQUARE LEAD", 3200, 0, 3200, 5, [](int i) { return i % 32 < 16 ? 0.6 : -0.6; }},
        {"SAW BASS", 4000, 100, 3700, 0, [](int i) { return (i % 72) / 36.0 - 1; }},
        {"TRIANGLE PAD", 5120, 512, 5120, 12, [](int i) { return std::abs((i % 128) / 32.0 - 2) - 1; }},
    };
    std::string table, data;
    for (const auto &w : waves) {
        std::string name(16, '\0');
        if (w.name) {
            name.replace(0, 15, std::string(15, ' '));
            name.replace(0, strlen(w.name), w.name);
        }
        table += name + u32(w.len) + u32(w.loopbegin) + u32(w.loopend) + u32(uint32_t(w.finetune));
        for (unsigned i = 0; i < w.len; i++)
            data += char(int(std::lround(w.f(int(i)) * 127)));
    }
    return u32(0) + u32(uint32_t(waves.size())) + table + data;
}

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    if (!save(dir + "/palette.dat", makepalette()) || !save(dir + "/tiles0000.art", drawart()) ||
        !save(dir + "/waves.zbq", makezbq())) {
        fprintf(stderr, "mksamples: can't write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
