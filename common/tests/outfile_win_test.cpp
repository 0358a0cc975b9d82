// Outputs on Windows: what the system does there that POSIX systems don't.
#include <chrono>
#include <thread>

#include "outfile.h"
#include "platform.h"
#include "testutil.h"
#include <windows.h>    // after testutil.h, whose stand-ins it would name

class OutfileWin : public TempDir {};

// Another program holding the old file open without sharing it, for ms
// milliseconds: the move over it waits that long, or fails when held throughout.
TEST_F(OutfileWin, TargetHeldOpen)
{
    const struct {
        int ms;
        int err;
        const char *left;
    } rows[] = {{300, 0, "new"}, {10000, EACCES, "old"}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.ms);
        writefile(path("t"), "old");
        HANDLE h = CreateFileW(widen(path("t")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::thread holder([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(r.ms, 4000)));
            CloseHandle(h);
        });
        EXPECT_EQ(savefile(path("t"), "new", 3), r.err);
        holder.join();
        EXPECT_EQ(readfile(path("t")), r.left);
        EXPECT_EQ(listdir(dir), std::vector<std::string>{"t"});
    }
}

// The temporary goes beside the target whichever separator its path has.
TEST_F(OutfileWin, TemporaryBesideTarget)
{
    CreateDirectoryW(widen(path("d")).c_str(), nullptr);
    outfilep o = outopen(dir + "\\d\\x.art");
    ASSERT_TRUE(o);
    std::vector<std::string> in = listdir(path("d"));
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].substr(0, 5), ".out-");
    EXPECT_EQ(outcommit(std::move(o)), 0);
    EXPECT_EQ(listdir(path("d")), std::vector<std::string>{"x.art"});
    EXPECT_EQ(listdir(dir), std::vector<std::string>{"d"});
}
