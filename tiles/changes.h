// What a pump changed in the archive it replaces: each tile compared with
// the old one as the new archive is made, the old read a tile at a time.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct changes {
    std::string archive;
    int fd = -1;                    // the archive replaced, while it is compared
    std::string why;                // when set, the one line said instead of a list
    int64_t first = 0, n = 0;       // its tiles
    std::vector<unsigned char> tab; // its tables
    std::vector<uint64_t> at;       // where each of its tiles' pixels begin
    int64_t newfirst = 0, newn = 0;
    std::vector<std::string> lines; // the first changes, in tile order
    int64_t changed = 0, added = 0, removed = 0;
    ~changes();
};

// Opens and checks the archive a pump of archive will replace, before the
// output is opened: nothing is compared when there is none, or it is no
// regular file.
void readold(changes *c, const char *archive);

// The file replaced can't be compared: why, said in place of a list.
void cantcompare(changes *c, const std::string &why);

// The new archive's range, before its first tile is compared.
void newrange(changes *c, int64_t first, int64_t n);

// Compares tile t of the new archive: w x h pixels, rows of px (null when
// empty), and its anm word.
void comparetile(changes *c, int32_t t, unsigned w, unsigned h, uint32_t anm, const unsigned char *px);

// The list of changes and the summary line, once the new archive is in
// place.
void saychanges(changes *c);
