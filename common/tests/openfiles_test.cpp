#include <gtest/gtest.h>

#include "openfiles.h"
#include "testutil.h"

// From a soft limit of 100, 64 kept spare: 36 more files fit as it is, and
// a 37th raises it by one.
TEST(OpenFiles, RaisesTheSoftLimitOnlyAsFarAsNeeded)
{
    SKIP_WITHOUT("resource limits");
    rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    if (was.rlim_max != RLIM_INFINITY && was.rlim_max < 300)
        GTEST_SKIP() << "hard open-file limit below 300";
    struct {
        size_t n, room;
        rlim_t soft;
    } cases[] = {{36, 36, 100}, {37, 37, 101}, {200, 200, 264}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        rlimit rl = was;
        rl.rlim_cur = 100;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
        EXPECT_EQ(allowopen(c.n), c.room);
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
        EXPECT_EQ(rl.rlim_cur, c.soft);
    }
    setrlimit(RLIMIT_NOFILE, &was);
}
