// Fixtures for the tile tests: archives, palettes and PNG files as bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct fixtile {
    unsigned w, h;
    uint32_t anm;
    std::string cols;   // w * h palette indices, column after column
};

std::string makeart(int32_t first, int32_t last, const std::vector<fixtile> &tiles,
                    uint32_t version = 1, uint32_t numtiles = 0);

// 768 bytes: entry k holds k % 64, k / 4, 63 - k % 64.
std::string testpalette();

struct png {
    unsigned err, w, h, colortype, bitdepth;
    std::vector<unsigned char> pal;   // 4 bytes an entry
    std::string px;                   // stored samples, unconverted
};
png decodepng(const std::string &path);

// A PNG of w x h pixels given as raw samples of the colour type and depth;
// palette (rgba entries) for colour type 3.
std::string encodepng(unsigned w, unsigned h, const std::string &raw, unsigned colortype,
                      unsigned bitdepth, const std::vector<unsigned char> &palette = {});

// A w x h 8-bit grey PNG whose image data inflates to mib MiB of zeros,
// far more than the image needs: a decompression bomb.
std::string bombpng(unsigned w, unsigned h, unsigned mib);
