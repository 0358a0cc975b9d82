// What lives beside the archive: the palette, tile file names and sidecars.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Channel values as loaded: file byte times the scale factor, -1 times it
// for bytes past the end of a short file. Kept as three arrays so that
// colour matching runs over them in vector registers.
struct palette {
    int32_t r[256], g[256], b[256];
};

// "blood:" + path reads 8-bit channels as they are; a bare path reads
// 6-bit channels scaled by 4. Returns false when the file can't be opened,
// or after a line saying why when it can't be read.
// Notes on standard error a file of other than 768 bytes, and values the
// wrong width for the form it was given in.
bool loadpalette(const char *arg, palette *pal);

// dir + "/tile%03d." + ext, the number zero-padded to three digits.
std::string tilename(const std::string &dir, int32_t t, const char *ext);

// Whether name is a tile file as a pump counts it: "tile", blanks, a
// decimal number, ".", blanks, "png" or "yaml" up to a blank or the end.
// The number goes to n, saturating near 2^40 when it is too long for 32
// bits.
bool tilenumber(const char *name, int64_t *n);

// The five anm fields plus the image form flag; every field defaults to 0.
struct sidecar {
    int32_t frames, animtype;
    int8_t xcenter, ycenter;
    int32_t animspeed, rgba;
};

// The "- key: value" lines of the nonzero fields; empty when all are 0.
std::string sidecartext(const sidecar &s);

// Reads "- key: value" entries, separated by any white space; a line an
// entry doesn't match on is skipped, unknown keys are ignored, the last of
// repeated keys wins. notes, when given, gets a line "line N: ..." for
// each entry that counts for nothing or is stored other than written.
void parsesidecar(const std::string &text, sidecar *s, std::string *notes = nullptr);

// Reads a whole regular file of at most most bytes into data. Returns 0
// or an errno value: EISDIR for anything that is not a regular file,
// EFBIG for one larger than most.
int readwhole(const std::string &path, std::string &data, uint64_t most);

// A sidecar holds a few short lines: anything larger is not one.
constexpr uint64_t maxsidecar = 1 << 20;

// Reads the sidecar at path into s, with a note on standard error naming
// the file for each line of its notes. Returns 0, or an errno value as
// readwhole (s untouched).
int readsidecar(const std::string &path, sidecar *s);
