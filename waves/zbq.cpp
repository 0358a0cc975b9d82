#include "zbq.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "le.h"
#include "report.h"

header getheader(const unsigned char *b) { return {get_u32(b), get_u32(b + 4)}; }

void putheader(unsigned char *b, const header &h)
{
    put_u32(b, h.version);
    put_u32(b + 4, h.waves);
}

sample getsample(const unsigned char *b)
{
    sample s;
    memcpy(s.name, b, 16);
    s.len = get_u32(b + 16);
    s.loopbegin = get_u32(b + 20);
    s.loopend = get_u32(b + 24);
    s.finetune = int32_t(get_u32(b + 28));
    return s;
}

void putsample(unsigned char *b, const sample &s)
{
    memcpy(b, s.name, 16);
    put_u32(b + 16, s.len);
    put_u32(b + 20, s.loopbegin);
    put_u32(b + 24, s.loopend);
    put_u32(b + 28, uint32_t(s.finetune));
}

int readheader(FILE *f, header *h)
{
    unsigned char b[headersize];
    if (fread(b, headersize, 1, f) != 1)
        return ferror(f) ? 2 : 4;
    *h = getheader(b);
    return 0;
}

int readtable(FILE *f, const header &h, int64_t size, std::vector<sample> &tab, uint32_t *at)
{
    if (h.version != 0)
        return 3;
    uint64_t left = size >= int64_t(headersize) ? uint64_t(size) - headersize : 0;
    if (size >= 0 && uint64_t(h.waves) * samplesize > left)
        return 4;
    // the table grows with the records that actually arrive, so a count
    // the file can't back never sizes an allocation
    const size_t step = 1 << 16;
    std::vector<unsigned char> buf(samplesize * std::min<size_t>(step, h.waves));
    while (tab.size() < h.waves) {
        size_t want = std::min<size_t>(step, h.waves - tab.size());
        if (fread(buf.data(), samplesize, want, f) != want)
            return ferror(f) ? 2 : 4;
        for (size_t k = 0; k < want; k++)
            tab.push_back(getsample(&buf[samplesize * k]));
    }
    if (size < 0)
        return 0;
    left -= uint64_t(h.waves) * samplesize;
    for (uint32_t i = 0; i < h.waves; i++) {
        if (!hasdata(tab[i]))
            continue;
        if (tab[i].len > left) {
            *at = i;
            return 5;
        }
        left -= tab[i].len;
    }
    return 0;
}

const char bankhead[] = "local _BANK = {}\n\n";
const char banktail[] = "return _BANK\n";

std::string samplename(const sample &s)
{
    int n = 16;
    while (n > 0 && s.name[n - 1] == ' ')
        n--;
    return std::string(s.name, strnlen(s.name, n));
}

void setname(sample &s, const char *text)
{
    memset(s.name, ' ', 15);
    memcpy(s.name, text, strnlen(text, 15));
    s.name[15] = 0;
}

std::string luaquote(const std::string &bytes)
{
    std::string q = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
        case '"': q += "\\\""; break;
        case '\\': q += "\\\\"; break;
        case '\n': q += "\\n"; break;
        case '\r': q += "\\r"; break;
        case '\t': q += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\%03u", c);
                q += esc;
            } else {
                q += char(c);
            }
        }
    }
    return q + "\"";
}

std::string bankentry(uint32_t index, const sample &s)
{
    char buf[64];
    snprintf(buf, sizeof buf, "_BANK[%u] = \n{\n", index);
    std::string e = buf;
    if (s.len != 0) {
        snprintf(buf, sizeof buf, "\tfile = \"sound%03u.raw\",\n", index);
        e += buf;
    }
    // a non-empty record's byte 0 is not 0, so its name is empty only when
    // the field is all spaces
    std::string name = samplename(s);
    if (!name.empty())
        e += "\tname = " + luaquote(name) + ",\n";
    if (s.loopbegin < s.loopend) {
        snprintf(buf, sizeof buf, "\tloopbegin = %d,\n\tloopend = %d,\n", int32_t(s.loopbegin),
                 int32_t(s.loopend));
        e += buf;
    }
    if (s.finetune != 0) {
        snprintf(buf, sizeof buf, "\tfinetune = %d,\n", s.finetune);
        e += buf;
    }
    return e + "}\n\n";
}

int cantinput(int code) { return report(code, "can't input file"); }

int cantread(int code, const char *path, int err)
{
    return report(code, "can't read %s: %s", path, strerror(err));
}

int cantwrite(int code, const char *path, int err)
{
    return report(code, "%s: can't write: %s", path, strerror(err));
}
