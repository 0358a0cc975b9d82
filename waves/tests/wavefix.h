// Fixtures for the wave bank tests.
#pragma once
#include <string>

#include "testutil.h"

// One 32-byte record; name16 is padded with zero bytes to 16.
inline std::string rec(const std::string &name16, uint32_t len = 0, uint32_t lb = 0,
                       uint32_t le = 0, int32_t ft = 0)
{
    std::string n = name16.substr(0, 16);
    n.resize(16, '\0');
    return n + u32(len) + u32(lb) + u32(le) + u32(uint32_t(ft));
}

// A name field as the pump writes it.
inline std::string pumpname(const std::string &text)
{
    std::string n = text.substr(0, 15);
    n.resize(15, ' ');
    return n + '\0';
}

inline const std::string welcome = "welcome to zbqtool, an elaborate .zbq pump & dump scheme\n";
