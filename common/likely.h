// Which known key a mistyped one was likely meant as: shared by the
// programs that name a key they don't read.
#pragma once
#include <cstddef>

// The key of keys[0..n) that unknown is likely a misspelling of, or null:
// the same letters in another case, one held in the other ("fine",
// "frame"), start or stop for begin or end, or at most two slips of the
// keyboard.
const char *likelykey(const char *unknown, const char *const *keys, size_t n);
