#include "report.h"

#include <gtest/gtest.h>

TEST(Shown, EscapesWhatWouldSplitALineOrHideInIt)
{
    const struct { std::string in, out; } rows[] = {
        {"tile005.png", "tile005.png"},
        {"C:\\Тайлы\\架.png", "C:\\Тайлы\\架.png"},     // backslashes and other scripts stay
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {"tile5.png\x1b]0;x\x07", "tile5.png\\x1b]0;x\\x07"},
        {std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
        {"\xc2\xa0-2", "\\u00a0-2"},                    // no-break space
        {"\xc2\x9b" "2J", "\\u009b2J"},                 // C1 control
        {"\xe2\x80\xae" "gnp.exe", "\\u202egnp.exe"},   // turns the text around
        {"\xe2\x80\x8f\xe2\x80\x90", "\\u200f\xe2\x80\x90"},  // the last of a range, and the first past it
        {"\xef\xbb\xbf" "x", "\\ufeffx"},
        {"\xc2\xa1\xdf\xbf\xef\xbf\xbd\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", "\xc2\xa1\xdf\xbf\xef\xbf\xbd\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
        // not UTF-8: lone bytes, overlong forms, surrogates, past U+10FFFF, cut short
        {"\xff\x80\xc1\xbf", "\\xff\\x80\\xc1\\xbf"},
        {"\xe0\x9f\xbf\xed\xa0\x80", "\\xe0\\x9f\\xbf\\xed\\xa0\\x80"},
        {"\xf0\x8f\xbf\xbf\xf4\x90\x80\x80", "\\xf0\\x8f\\xbf\\xbf\\xf4\\x90\\x80\\x80"},
        {"\xe2\x82", "\\xe2\\x82"},
        {"\xe2(\xa1", "\\xe2(\\xa1"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(shown(r.in), r.out) << r.out;
}
