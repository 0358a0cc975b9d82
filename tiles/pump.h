// The pump's inside, for tests and fuzzers: the directory scan and the
// decoding of one tile.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

struct palette;
struct colourcache;

// Widens [*first, *last] to every tile number named in dir (numbers beyond
// 32 bits saturate near 2^40, for the caller to refuse); *seen tells
// whether any was, and names gets those entries' names, sorted; unread
// gets the names, sorted, of the files that look like tile files but are
// never read under their own names. Returns -1, with errno set, when dir can't be opened
// or read, else 0.
int processfiles(const char *dir, int64_t *first, int64_t *last, bool *seen,
                 std::vector<std::string> *names, std::vector<std::string> *unread);

struct freer {
    void operator()(void *p) const { free(p); }
};
using pixels = std::unique_ptr<unsigned char[], freer>;   // malloc'd, as LodePNG hands them out

// One tile's PNG file bytes to palette indices. With rgba 0, a palette
// image's stored indices where its palette agrees with the palette file,
// with a line naming the image when any colour had to be matched; with any
// other rgba, every pixel's colour matched. Returns 0, or 3 after a line
// naming the image.
int decodetile(const std::string &file, const std::string &name, int32_t rgba, const palette &pal,
               colourcache *cache, unsigned *w, unsigned *h, pixels *px);
