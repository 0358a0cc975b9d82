// Fixtures for the tile tests: archives, palettes and PNG files as bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fixbytes.h"

// What vrel says first on standard error, every run.
inline const std::string welcome =
    "welcome to vrel (vrelio + art), an elaborate .art pump & dump scheme\n";

// 768 bytes: entry k holds k % 64, k / 4, 63 - k % 64.
std::string testpalette();

// The palette of testpalette() as a dump writes it into images: 6-bit
// channels times 4, alpha 255; the first count entries.
std::vector<unsigned char> dumppalette(int count = 256);

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

// The palette index of an RGBA colour c, the nearest-colour rule as plainly
// as it reads: pal holds the palette file's bytes, scale its factor.
unsigned char refmatch(const std::string &pal, int scale, const unsigned char *c);

// What the pump should make of a PNG, as plainly as the rules read:
// indices row after row, the PNG decoded here to colours and to its stored
// samples. pal holds the palette file's bytes, scale its factor (4, or 1
// for "blood:"); keep is rgba 0; dumped is the palette a dump writes into
// its images given the same palette (4 bytes an entry; alpha above 128 is
// opaque). Sets matched to the number of used palette entries that differ
// from dumped's (-1 for an image of colours), missing to the number of
// colours matched that the file does not hold, transparent to the pixels
// that became index 255 by their alpha (not those stored as 255), and
// reordered when an opaque colour found exactly went to another index.
struct refresult {
    unsigned w, h;
    std::string px;
    int matched, missing, transparent;
    bool reordered;
};
refresult reference(const std::string &png, const std::string &pal, int scale, bool keep,
                    const std::vector<unsigned char> &dumped);

// An 8-bit palette PNG of the given rows, as a dump writes it.
std::string indexpng(unsigned w, unsigned h, const std::string &rows);
