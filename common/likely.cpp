#include "likely.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

// Steps to turn a into b, a swap of neighbours counting as one.
static size_t distance(const char *a, const char *b)
{
    size_t n = strlen(a), m = strlen(b), d[33][33];
    if (n > 32 || m > 32)
        return SIZE_MAX;
    for (size_t i = 0; i <= n; i++)
        for (size_t j = 0; j <= m; j++) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

const char *likelykey(const char *unknown, const char *const *keys, size_t nkeys)
{
    char k[40] = "";
    size_t n = strlen(unknown);
    if (n < 3 || n > 24)
        return nullptr;
    for (size_t i = 0; i <= n; i++)
        k[i] = char(tolower((unsigned char)unknown[i]));
    if (char *p = strstr(k, "start"))
        memcpy(p, "begin", 5);
    else if ((p = strstr(k, "stop"))) {
        memmove(p + 3, p + 4, strlen(p + 4) + 1);
        memcpy(p, "end", 3);
    }
    const char *best = nullptr;
    size_t bestd = n <= 4 ? 2 : 3;
    for (size_t i = 0; i < nkeys; i++) {
        const char *key = keys[i];
        if (strstr(key, k) || strstr(k, key))
            return key;
        if (size_t d = distance(k, key); d < bestd)
            best = key, bestd = d;
    }
    return best;
}
