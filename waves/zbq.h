// Wave bank records and the bank script text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct header {         // on disk: 8 bytes, little-endian, in this order
    uint32_t version;   // 0 is the only version there is
    uint32_t waves;     // records in the table that follows
};
constexpr size_t headersize = 8;

struct sample {         // on disk: 32 bytes, little-endian, in this order
    char name[16];      // byte 0 == 0: an empty record
    uint32_t len;       // bytes of data in the data area
    uint32_t loopbegin;
    uint32_t loopend;
    int32_t finetune;
};
constexpr size_t samplesize = 32;

header getheader(const unsigned char *b);
void putheader(unsigned char *b, const header &h);
sample getsample(const unsigned char *b);
void putsample(unsigned char *b, const sample &s);

// The name as the dump reads it: trailing spaces dropped, scanning down from
// byte 15, then cut at the first 0 byte.
std::string samplename(const sample &s);

// Sets the name field as the pump writes it: at most 15 bytes of text,
// spaces to byte 14, byte 15 zero.
void setname(sample &s, const char *text);

// Whether a record gets a data area of its own when dumped.
inline bool hasdata(const sample &s) { return s.name[0] != 0 && s.len != 0; }

// Reading a bank from f, unbuffered, as the dump does. readheader returns
// 0, 2 when f can't be read (errno set) or 4 when it ends first.
int readheader(FILE *f, header *h);
// Reads the record table that follows h. A regular file of size bytes
// (size < 0 for others) must hold it and the data of every record that
// has data, checked before the table is read. Returns 0; 2 when f can't be
// read (errno set); 3 when h's version is not 0; 4 when the table ends
// early; 5 when the data of record *at does.
int readtable(FILE *f, const header &h, int64_t size, std::vector<sample> &tab, uint32_t *at);

// A Lua string literal of the bytes: quotes, backslashes and control
// bytes escaped, everything else as it is.
std::string luaquote(const std::string &bytes);

// The bank script: head, one entry per non-empty record, tail.
extern const char bankhead[], banktail[];
std::string bankentry(uint32_t index, const sample &s);

// The failures both operations share, reported as report does: a bank that
// can't be opened or created, and a file that can't be read or written.
int cantinput(int code);
int cantread(int code, const char *path, int err);
int cantwrite(int code, const char *path, int err);
