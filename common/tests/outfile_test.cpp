// Outputs on real file systems: what fopen would reach, never a partial file.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/mount.h>
#endif
#include <thread>
#include <unistd.h>

#include "outfile.h"
#include "testutil.h"

// The syncs and renames made, as "fsync rename fsyncdir syncfs", a failed
// one marked "fsyncdir!"; the calls named in failing fail with failerr.
static std::string calls, failing;
static int failerr;

template <class fn> static fn next(const char *name) { return reinterpret_cast<fn>(dlsym(RTLD_NEXT, name)); }

static int traced(std::string what, int ret)
{
    int err = errno;
    if ((" " + failing + " ").find(" " + what + " ") != std::string::npos) {
        ret = -1;
        err = failerr;
    }
    calls += (calls.empty() ? "" : " ") + what + (ret != 0 ? "!" : "");
    errno = err;
    return ret;
}

extern "C" int fsync(int fd)
{
    struct stat st;
    bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    return traced(dir ? "fsyncdir" : "fsync", next<int (*)(int)>("fsync")(fd));
}

extern "C" int renameat(int from, const char *a, int to, const char *b)
{
    return traced("rename", next<int (*)(int, const char *, int, const char *)>("renameat")(from, a, to, b));
}

#ifdef __linux__
extern "C" int syncfs(int fd) { return traced("syncfs", next<int (*)(int)>("syncfs")(fd)); }
#endif

// Runs a shell command; its standard output, or "failed" when it fails.
static std::string shell(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return p && pclose(p) == 0 ? out : "failed";
}

// savefile, then the sync that puts a replacement in place: 0 or an errno value.
static int saved(const std::string &path, const std::string &data, bool durable = false)
{
    int err = savefile(path, data.data(), data.size(), durable);
    int synced = outsync();
    return err ? err : synced;
}

class Outfile : public TempDir {
protected:
    int save(const std::string &name, const std::string &data) { return saved(path(name), data); }
    struct stat info(const std::string &name, bool link = false)
    {
        struct stat st = {};
        EXPECT_EQ((link ? lstat : stat)(path(name).c_str(), &st), 0) << name;
        return st;
    }
};

TEST_F(Outfile, FollowsLinksToTheFileTheyName)
{
    SKIP_WITHOUT("symbolic links");
    mkdir(path("sub").c_str(), 0777);
    writefile(path("sub/t"), "old");
    ASSERT_EQ(symlink("sub/t", path("one").c_str()), 0);
    ASSERT_EQ(symlink("one", path("two").c_str()), 0);          // a chain
    ASSERT_EQ(symlink("../two", path("sub/three").c_str()), 0); // relative to its own directory
    ASSERT_EQ(symlink("missing", path("sub/dangling").c_str()), 0);
    for (const char *name : {"one", "two", "sub/three"}) {
        SCOPED_TRACE(name);
        ino_t before = info("sub/t").st_ino;
        ASSERT_EQ(save(name, name), 0);
        EXPECT_EQ(readfile(path("sub/t")), name);
        EXPECT_NE(info("sub/t").st_ino, before);     // replaced whole, not written in place
        EXPECT_TRUE(S_ISLNK(info(name, true).st_mode));
    }
    ASSERT_EQ(save("sub/dangling", "made"), 0);                 // fopen creates the target
    EXPECT_EQ(readfile(path("sub/missing")), "made");
    EXPECT_TRUE(S_ISLNK(info("sub/dangling", true).st_mode));
    EXPECT_EQ(listdir(path("sub")), (std::vector<std::string>{"dangling", "missing", "t", "three"}));
}

TEST_F(Outfile, WritesDevicesAndFifosInPlace)
{
    mkdir(path("d").c_str(), 0777);
    EXPECT_EQ(save("d", "x"), EISDIR);
    SKIP_WITHOUT("FIFOs");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = readfile(path("fifo")); });
    EXPECT_EQ(save("fifo", "through"), 0);
    reader.join();
    EXPECT_EQ(got, "through");
    EXPECT_TRUE(S_ISFIFO(info("fifo").st_mode));

    std::string why;
    if (!nullandfull(dir, &why))
        GTEST_SKIP() << why;
    EXPECT_EQ(save("null", "gone"), 0);
    EXPECT_EQ(save("full", "x"), ENOSPC);
    EXPECT_TRUE(S_ISCHR(info("null").st_mode));
    EXPECT_TRUE(S_ISCHR(info("full").st_mode));
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"d", "fifo", "full", "null"}));
}

TEST_F(Outfile, ReplacesWholeKeepingModeOwnerAndOtherNames)
{
    SKIP_WITHOUT("POSIX modes");
    writefile(path("a"), "old");
    std::string why;
    int uid = otheruser(&why);
    if (uid >= 0) {
        ASSERT_EQ(chown(path("a").c_str(), uid_t(uid), gid_t(-1)), 0);
    }
    ASSERT_EQ(chmod(path("a").c_str(), 07604), 0);     // the set-ID bits too, which root keeps
    ino_t before = info("a").st_ino;
    ASSERT_EQ(save("a", "new"), 0);
    EXPECT_EQ(readfile(path("a")), "new");
    EXPECT_NE(info("a").st_ino, before);                 // a new file renamed over the name
    EXPECT_EQ(info("a").st_mode & 07777, geteuid() == 0 ? 07604u : 03604u);
    if (uid >= 0) {
        EXPECT_EQ(info("a").st_uid, uid_t(uid));
    }

    // a name as long as a name can be, replaced twice
    std::string name(250, 'n');
    for (const char *data : {"first", "second", "third"})
        ASSERT_EQ(save(name, data), 0) << data;
    EXPECT_EQ(readfile(path(name)), "third");

    // other names of the same file see the new bytes, and only those
    ASSERT_EQ(link(path("a").c_str(), path("b").c_str()), 0);
    before = info("a").st_ino;
    ASSERT_EQ(save("a", "in"), 0);
    EXPECT_EQ(info("a").st_ino, before);
    EXPECT_EQ(readfile(path("b")), "in");

#ifdef __linux__
    // a file mounted on its name can't be renamed over: in place
    writefile(path("m"), "");
    if (mount(path("b").c_str(), path("m").c_str(), nullptr, MS_BIND, nullptr) == 0) {
        EXPECT_EQ(save("m", "mounted"), 0);
        EXPECT_EQ(readfile(path("a")), "mounted");
        umount(path("m").c_str());
    }
    unlink(path("m").c_str());
#endif

    // a new file is made as fopen makes it: 0666 less the umask
    mode_t mask = umask(0);
    EXPECT_EQ(save("c", "new"), 0);
    umask(mask);
    EXPECT_EQ(info("c").st_mode & 07777, 0666u);
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"a", "b", "c", name}));
}

TEST_F(Outfile, ReplacesKeepingAttributesAndAcl)
{
    if (shell("setfattr -n user.probe -v 1 " + dir + " && setfacl -m u:nobody:r " + dir) == "failed")
        GTEST_SKIP() << "no setfattr and setfacl, or user attributes or ACLs not kept here";
    struct row {
        const char *what, *setup, *want;    // setup in the file's directory; getfacl and getfattr after
    };
    const row rows[] = {
        {"an ACL entry, which the group bits show as its mask", "chmod 600 f && setfacl -m u:nobody:rw f",
         "user::rw-\nuser:nobody:rw-\ngroup::---\nmask::rw-\nother::---\n\n"},
        {"a user attribute", "chmod 640 f && setfattr -n user.k -v v f",
         "user::rw-\ngroup::r--\nother::---\n\n# file: f\nuser.k=\"v\"\n\n"},
        {"no ACL, though the directory gives new files one", "chmod 640 f && setfacl -d -m u:nobody:rw .",
         "user::rw-\ngroup::r--\nother::---\n\n"},
    };
    int k = 0;
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string d = path(std::to_string(k++));
        mkdir(d.c_str(), 0777);
        writefile(d + "/f", "old");
        ASSERT_NE(shell("cd " + d + " && " + r.setup), "failed");
        ino_t before = info(d.substr(dir.size() + 1) + "/f").st_ino;
        ASSERT_EQ(saved(d + "/f", "new"), 0);
        EXPECT_EQ(readfile(d + "/f"), "new");
        EXPECT_NE(info(d.substr(dir.size() + 1) + "/f").st_ino, before);
        EXPECT_EQ(shell("cd " + d + " && getfacl -c f && getfattr -d f"), r.want);
        EXPECT_EQ(listdir(d), std::vector<std::string>{"f"});
    }
}

// Runs fn(arg) in a child as another user; returns its result, and the
// syncs and renames it made in trace.
static int asuser(int uid, int (*fn)(const std::string &), const std::string &arg, std::string *trace = nullptr)
{
    passwd *pw = getpwuid(uid_t(uid));
    int p[2];
    if (pipe(p) != 0)
        return 253;
    pid_t pid = fork();
    if (pid == 0) {
        if (!pw || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
            _exit(255);
        calls.clear();
        int ret = fn(arg);
        _exit(write(p[1], calls.data(), calls.size()) == ssize_t(calls.size()) ? ret : 253);
    }
    close(p[1]);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        got.append(buf, size_t(n));
    close(p[0]);
    if (trace)
        *trace = got;
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
    // dir and writeonly (mode 0333) are the user's; locked is not, but holds
    // a file the user may write; sticky is everyone's, as /tmp is
    ASSERT_EQ(chown(dir.c_str(), uid_t(uid), gid_t(-1)), 0);
    mkdir(path("locked").c_str(), 0755);
    mkdir(path("writeonly").c_str(), 0777);
    mkdir(path("sticky").c_str(), 0777);
    chmod(path("sticky").c_str(), 01777);
    mkdir(path("mysticky").c_str(), 0777);
    chmod(path("mysticky").c_str(), 01777);
    writefile(path("readonly"), "kept");
    writefile(path("locked/mine"), "old");
    writefile(path("writeonly/mine"), "old");
    writefile(path("sticky/theirs"), "old");
    writefile(path("mysticky/theirs"), "old");
    writefile(path("secret"), "old");
    writefile(path("theirs"), "old");
    writefile(path("notmygroup"), "old");
    writefile(path("setid"), "old");
    writefile(path("setgid"), "old");
    gid_t gid = getpwuid(uid_t(uid))->pw_gid;
    for (const char *f : {"readonly", "locked/mine", "writeonly", "writeonly/mine", "mysticky", "setid", "setgid"})
        ASSERT_EQ(chown(path(f).c_str(), uid_t(uid), gid), 0);
    ASSERT_EQ(chown(path("notmygroup").c_str(), uid_t(uid), 0), 0);
    for (const char *f : {"theirs", "notmygroup"})
        chmod(path(f).c_str(), 0666);
    chmod(path("setid").c_str(), 06775);    // set-group-ID of an executable: both go
    chmod(path("setgid").c_str(), 02764);   // of a file its group can't run: it stays
    chmod(path("readonly").c_str(), 0444);
    chmod(path("writeonly").c_str(), 0333);
    chmod(path("sticky/theirs").c_str(), 0666);
    chmod(path("mysticky/theirs").c_str(), 0666);
    chmod(path("secret").c_str(), 0622);
    bool attrs = shell("setfattr -n user.k -v v " + path("secret")) != "failed";
    ino_t mine = info("locked/mine").st_ino, theirs = info("sticky/theirs").st_ino,
          secret = info("secret").st_ino, wo = info("writeonly/mine").st_ino, ours = info("mysticky/theirs").st_ino;

    auto put = [](const std::string &p) { return saved(p, "new"); };
    EXPECT_EQ(asuser(uid, put, path("readonly")), EACCES);
    EXPECT_EQ(readfile(path("readonly")), "kept");
    EXPECT_EQ(asuser(uid, put, path("locked/mine")), 0);   // in place, as fopen would
    EXPECT_EQ(readfile(path("locked/mine")), "new");
    EXPECT_EQ(info("locked/mine").st_ino, mine);
    EXPECT_EQ(asuser(uid, put, path("locked/new")), EACCES);
    EXPECT_EQ(asuser(uid, put, path("fresh")), 0);
    // the rename over another's file in a sticky directory would be refused
    EXPECT_EQ(asuser(uid, put, path("sticky/theirs")), 0);
    EXPECT_EQ(readfile(path("sticky/theirs")), "new");
    EXPECT_EQ(info("sticky/theirs").st_ino, theirs);
    // nor anywhere else do we replace another's file, or one of a group we are
    // not in: the new file could not be given their owner or group
    EXPECT_EQ(asuser(uid, put, path("mysticky/theirs")), 0);
    EXPECT_EQ(info("mysticky/theirs").st_ino, ours);
    // and a replacement drops the set-ID bits as a write by their owner would
    struct {
        const char *name;
        bool inplace;
        mode_t mode;
    } kept[] = {{"theirs", true, 0666}, {"notmygroup", true, 0666}, {"setid", false, 0775}, {"setgid", false, 02764}};
    for (const auto &k : kept) {
        SCOPED_TRACE(k.name);
        struct stat was = info(k.name);
        EXPECT_EQ(asuser(uid, put, path(k.name)), 0);
        struct stat now = info(k.name);
        EXPECT_EQ(readfile(path(k.name)), "new");
        EXPECT_EQ(now.st_ino == was.st_ino, k.inplace);
        EXPECT_EQ(now.st_uid, was.st_uid);
        EXPECT_EQ(now.st_gid, was.st_gid);
        EXPECT_EQ(now.st_mode & 07777, k.mode);
    }
    // an attribute the user can't read, so can't copy, is kept in place
    EXPECT_EQ(asuser(uid, put, path("secret")), 0);
    EXPECT_EQ(readfile(path("secret")), "new");
    EXPECT_EQ(info("secret").st_ino, secret);
    if (attrs) {
        EXPECT_EQ(shell("getfattr --absolute-names --only-values -n user.k " + path("secret")), "v");
    }
    // a directory that can't be read can't be synced: the name is made
    // durable through the file's file system, and no sync fails
    std::string trace;
    auto durable = [](const std::string &p) { return saved(p, "new", true); };
    EXPECT_EQ(asuser(uid, durable, path("writeonly/mine"), &trace), 0);
    EXPECT_EQ(readfile(path("writeonly/mine")), "new");
    EXPECT_NE(info("writeonly/mine").st_ino, wo);
#ifdef __linux__
    EXPECT_EQ(trace, "fsync rename syncfs");
#endif
    EXPECT_EQ(listdir(path("writeonly")), std::vector<std::string>{"mine"});
    EXPECT_EQ(listdir(path("sticky")), std::vector<std::string>{"theirs"});
    EXPECT_EQ(listdir(dir),
              (std::vector<std::string>{"fresh", "locked", "mysticky", "notmygroup", "readonly", "secret", "setgid",
                                        "setid", "sticky", "theirs", "writeonly"}));
}

TEST_F(Outfile, SyncsEveryNameItRenamesAndReportsFailedSyncs)
{
#ifndef __linux__
    GTEST_SKIP() << "expects syncfs, which Linux alone has";
#endif
    struct row {
        const char *what, *fail;    // the call made to fail, with err
        int err;
        bool durable;
        const char *calls, *after;  // the calls made, the file after
        int want;
    };
    const row rows[] = {
        {"durable: the file, and its name through the directory", "", 0, true, "fsync rename fsyncdir", "new", 0},
        {"the file's sync fails: nothing renamed", "fsync", EIO, true, "fsync!", "old", EIO},
        {"and with EINVAL, which only a device or FIFO may ignore", "fsync", EINVAL, true, "fsync!", "old", EINVAL},
        {"the rename fails (made here, said to fail): no sync of its name", "rename", EIO, true, "fsync rename!",
         "new", EIO},
        {"the directory's sync fails", "fsyncdir", EIO, true, "fsync rename fsyncdir!", "new", EIO},
        {"a directory that syncs no directories: its file system", "fsyncdir", EINVAL, true,
         "fsync rename fsyncdir! syncfs", "new", 0},
        {"and its file system's fails", "fsyncdir syncfs", EINVAL, true, "fsync rename fsyncdir! syncfs!", "new",
         EINVAL},
        {"not durable: the data synced at outsync, then renamed over, then its name", "", 0, false,
         "syncfs rename syncfs", "new", 0},
        {"and that sync fails: the old file stays", "syncfs", EIO, false, "syncfs! syncfs!", "old", EIO},
        {"the rename fails", "rename", EIO, false, "syncfs rename! syncfs", "new", EIO},
    };
    outsync();
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        writefile(path("f"), "old");
        calls.clear();
        failing = r.fail;
        failerr = r.err;
        int got = savefile(path("f"), "new", 3, r.durable);
        if (!r.durable) {   // it waits for outsync
            EXPECT_EQ(got, 0);
            EXPECT_EQ(calls, "");
            EXPECT_EQ(readfile(path("f")), "old");
            got = outsync();
        }
        EXPECT_EQ(got, r.want);
        failing.clear();
        EXPECT_EQ(calls, r.calls);
        EXPECT_EQ(readfile(path("f")), r.after);
        EXPECT_EQ(listdir(dir), std::vector<std::string>{"f"});
    }

    // new names, not durable on their own: one sync of their file system
    mkdir(path("sub").c_str(), 0777);
    for (int err : {0, EIO}) {
        SCOPED_TRACE(err);
        calls.clear();
        for (const char *name : {"g", "sub/h"}) {
            unlink(path(name).c_str());
            ASSERT_EQ(savefile(path(name), name, strlen(name)), 0);
        }
        failing = err ? "syncfs" : "";
        failerr = err;
        EXPECT_EQ(outsync(), err);
        failing.clear();
        EXPECT_EQ(calls, err ? "rename rename syncfs!" : "rename rename syncfs");
        calls.clear();
        EXPECT_EQ(outsync(), 0);            // nothing since
        EXPECT_EQ(calls, "");
    }

    // replacements wait in batches of 256, each synced before it is
    // renamed; the first in another directory
    auto r = [](int i) { return (i ? "r" : "sub/r") + std::to_string(i); };
    for (int i = 0; i < 257; i++)
        writefile(path(r(i)), "old");
    calls.clear();
    for (int i = 0; i < 257; i++)
        ASSERT_EQ(savefile(path(r(i)), "new", 3), 0);
    std::string renames;
    for (int i = 0; i < 256; i++)
        renames += " rename";
    EXPECT_EQ(calls, "syncfs" + renames);
    EXPECT_EQ(readfile(path("sub/r0")), "new");
    EXPECT_EQ(readfile(path("r255")), "new");
    EXPECT_EQ(readfile(path("r256")), "old");
    calls.clear();
    EXPECT_EQ(outsync(), 0);
    EXPECT_EQ(calls, "syncfs rename syncfs");
    EXPECT_EQ(readfile(path("r256")), "new");

    // a rename that fails leaves the others of its batch to go through
    ASSERT_EQ(savefile(path("r1"), "newer", 5), 0);
    ASSERT_EQ(savefile(path("r2"), "newer", 5), 0);
    unlink(path("r1").c_str());
    mkdir(path("r1").c_str(), 0777);
    EXPECT_EQ(outsync(), EISDIR);
    EXPECT_EQ(readfile(path("r2")), "newer");
    EXPECT_EQ(listdir(dir).size(), 259u);
    EXPECT_EQ(listdir(path("sub")), (std::vector<std::string>{"h", "r0"}));
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
