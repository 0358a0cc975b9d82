// Little-endian fields, built from bytes with shifts: the host's byte order
// never decides a file.
#pragma once
#include <cstdint>

inline uint16_t get_u16(const unsigned char *b) { return uint16_t(b[0] | b[1] << 8); }
inline uint32_t get_u32(const unsigned char *b)
{
    return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24;
}
inline void put_u16(unsigned char *b, uint16_t v)
{
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
}
inline void put_u32(unsigned char *b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[i] = uint8_t(v >> 8 * i);
}
