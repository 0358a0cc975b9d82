// Outputs on real file systems: what fopen would reach, never a partial file.
#include <cerrno>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <fcntl.h>

#include "outfile.h"
#include "testutil.h"

class Outfile : public TempDir {
protected:
    int save(const std::string &name, const std::string &data)
    {
        return savefile(path(name), data.data(), data.size());
    }
    struct stat info(const std::string &name, bool link = false)
    {
        struct stat st = {};
        EXPECT_EQ((link ? lstat : stat)(path(name).c_str(), &st), 0) << name;
        return st;
    }
};

TEST_F(Outfile, FollowsLinksToTheFileTheyName)
{
    mkdir(path("sub").c_str(), 0777);
    writefile(path("sub/t"), "old");
    ASSERT_EQ(symlink("sub/t", path("one").c_str()), 0);
    ASSERT_EQ(symlink("one", path("two").c_str()), 0);          // a chain
    ASSERT_EQ(symlink("../two", path("sub/three").c_str()), 0); // relative to its own directory
    ASSERT_EQ(symlink("missing", path("sub/dangling").c_str()), 0);
    for (const char *name : {"one", "two", "sub/three"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(save(name, name), 0);
        EXPECT_EQ(readfile(path("sub/t")), name);
        EXPECT_TRUE(S_ISLNK(info(name, true).st_mode));
    }
    ASSERT_EQ(save("sub/dangling", "made"), 0);                 // fopen creates the target
    EXPECT_EQ(readfile(path("sub/missing")), "made");
    EXPECT_TRUE(S_ISLNK(info("sub/dangling", true).st_mode));
    EXPECT_EQ(listdir(path("sub")), (std::vector<std::string>{"dangling", "missing", "t", "three"}));
}

TEST_F(Outfile, WritesDevicesAndFifosInPlace)
{
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = readfile(path("fifo")); });
    EXPECT_EQ(save("fifo", "through"), 0);
    reader.join();
    EXPECT_EQ(got, "through");
    EXPECT_TRUE(S_ISFIFO(info("fifo").st_mode));
    mkdir(path("d").c_str(), 0777);
    EXPECT_EQ(save("d", "x"), EISDIR);

    if (mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
        mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "can't make device nodes here: " << strerror(errno);
    EXPECT_EQ(save("null", "gone"), 0);
    EXPECT_EQ(save("full", "x"), ENOSPC);
    EXPECT_TRUE(S_ISCHR(info("null").st_mode));
    EXPECT_TRUE(S_ISCHR(info("full").st_mode));
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"d", "fifo", "full", "null"}));
}

TEST_F(Outfile, ReplacesWholeKeepingModeOwnerAndOtherNames)
{
    writefile(path("a"), "old");
    ASSERT_EQ(chmod(path("a").c_str(), 0604), 0);
    std::string why;
    int uid = otheruser(&why);
    if (uid >= 0) {
        ASSERT_EQ(chown(path("a").c_str(), uid_t(uid), gid_t(-1)), 0);
    }
    ino_t before = info("a").st_ino;
    ASSERT_EQ(save("a", "new"), 0);
    EXPECT_EQ(readfile(path("a")), "new");
    EXPECT_NE(info("a").st_ino, before);                 // a new file renamed over the name
    EXPECT_EQ(info("a").st_mode & 07777, 0604u);
    if (uid >= 0) {
        EXPECT_EQ(info("a").st_uid, uid_t(uid));
    }

    // a name as long as a name can be, replaced twice
    std::string name(250, 'n');
    for (const char *data : {"first", "second", "third"})
        ASSERT_EQ(save(name, data), 0) << data;
    EXPECT_EQ(readfile(path(name)), "third");

    // other names of the same file see the new bytes
    ASSERT_EQ(link(path("a").c_str(), path("b").c_str()), 0);
    before = info("a").st_ino;
    ASSERT_EQ(save("a", "both"), 0);
    EXPECT_EQ(info("a").st_ino, before);
    EXPECT_EQ(readfile(path("b")), "both");
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"a", "b", name}));
}

// Runs fn in a child as another user; returns its result.
static int asuser(int uid, int (*fn)(const std::string &), const std::string &dir)
{
    passwd *pw = getpwuid(uid_t(uid));
    pid_t pid = fork();
    if (pid == 0) {
        if (!pw || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
            _exit(255);
        _exit(fn(dir));
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 254;
}

TEST_F(Outfile, RespectsPermissionsAsFopenWould)
{
    std::string why;
    int uid = otheruser(&why);
    if (uid < 0)
        GTEST_SKIP() << why;
    // dir is the user's; locked is not, but holds a file the user may write
    ASSERT_EQ(chown(dir.c_str(), uid_t(uid), gid_t(-1)), 0);
    mkdir(path("locked").c_str(), 0755);
    writefile(path("readonly"), "kept");
    writefile(path("locked/mine"), "old");
    for (const char *f : {"readonly", "locked/mine"})
        ASSERT_EQ(chown(path(f).c_str(), uid_t(uid), gid_t(-1)), 0);
    chmod(path("readonly").c_str(), 0444);
    ino_t mine = info("locked/mine").st_ino;

    auto put = [](const std::string &p) { return savefile(p, "new", 3); };
    EXPECT_EQ(asuser(uid, put, path("readonly")), EACCES);
    EXPECT_EQ(readfile(path("readonly")), "kept");
    EXPECT_EQ(asuser(uid, put, path("locked/mine")), 0);   // in place, as fopen would
    EXPECT_EQ(readfile(path("locked/mine")), "new");
    EXPECT_EQ(info("locked/mine").st_ino, mine);
    EXPECT_EQ(asuser(uid, put, path("locked/new")), EACCES);
    EXPECT_EQ(asuser(uid, put, path("fresh")), 0);
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"fresh", "locked", "readonly"}));
}

TEST_F(Outfile, OneOutputAtATime)
{
#ifdef NDEBUG
    GTEST_SKIP() << "checked in debug builds only";
#else
    outfilep first = outopen(path("a"));
    ASSERT_TRUE(first);
    EXPECT_DEATH(outopen(path("b")), "one output at a time");
    EXPECT_EQ(outcommit(std::move(first)), 0);
    EXPECT_TRUE(outopen(path("b")));
#endif
}
