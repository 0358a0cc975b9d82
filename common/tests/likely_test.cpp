// The key a mistyped one was likely meant as, at the edges of each rule.
#include <gtest/gtest.h>
#include <iterator>
#include <string>

#include "likely.h"

TEST(Likely, GuessesAKeyOnlyWhereAMistakeIsLikely)
{
    const char *keys[] = {"file", "name", "loopbegin", "loopend", "finetune"};
    struct {
        const char *unknown, *meant;
    } cases[] = {
        {"fi", nullptr},                        // too short to tell, though held in "file"
        {"fil", "file"},
        {"FILE", "file"},
        {"nmae", "name"},                       // a swap is one slip
        {"nxmy", nullptr},                      // two slips are too many in four letters
        {"nxmey", "name"},                      // but not in five
        {"nxmeyz", nullptr},
        {"loopbeginning", "loopbegin"},         // holds a key
        {"loopstart", "loopbegin"},
        {"stop", "loopend"},
        {"loopbeginloopbeginloopbe", "loopbegin"},
        {"loopbeginloopbeginloopbeg", nullptr}, // longer than any key is meant to be
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.unknown);
        const char *got = likelykey(c.unknown, keys, std::size(keys));
        EXPECT_EQ(std::string(got ? got : "(none)"), c.meant ? c.meant : "(none)");
    }
}
