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
    bool done = false;              // every tile compared, the file closed
    // the tile being compared
    int32_t tile = 0;
    bool pixels = false;            // same size as the old one: its pixels are compared
    uint64_t pos = 0, diff = 0, clear = 0;
    std::string size, fields;       // what changed besides its pixels
    std::vector<unsigned char> old; // the old tile's columns, a strip at a time
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

// Compares tile t of the new archive, of w x h pixels and its anm word;
// then its columns, n bytes at a time, as they are written; then ends it.
void comparetile(changes *c, int32_t t, unsigned w, unsigned h, uint32_t anm);
void comparecolumns(changes *c, const unsigned char *cols, size_t n);
void endtile(changes *c);

// Ends the comparison and closes the file replaced, before the new archive
// takes its name: Windows won't replace a file held open.
void donecomparing(changes *c);

// The list of changes and the summary line, once the new archive is in
// place.
void saychanges(changes *c);
