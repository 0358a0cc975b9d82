#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

std::vector<std::string> faildisk(std::vector<std::string> env)
{
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back("LD_PRELOAD=" FAILDISK);
    // the sanitizers' runtime would be loaded first
    env.push_back("ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0");
    return env;
}

std::string readfile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writefile(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary);
    f << data;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> listdir(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void TempDir::SetUp()
{
    std::string tmpl = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/tXXXXXX");
    dir = mkdtemp(tmpl.data());
}

void TempDir::TearDown()
{
    namespace fs = std::filesystem;
    for (const auto &e : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied))
        if (!e.is_symlink() && e.is_directory())   // a link may loop: not followed
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add);
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
}

bool nullandfull(const std::string &dir, std::string *why)
{
#ifdef __linux__
    if (mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
        mknod((dir + "/full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0)
        return true;
    *why = std::string("can't make device nodes here: ") + strerror(errno);
#else
    *why = "devices 1,3 and 1,7 are null and full on Linux only";
#endif
    return false;
}

int otheruser(std::string *why, const char *prog)
{
    if (geteuid() != 0) {
        *why = "needs root to run the program as another user";
        return -1;
    }
    passwd *pw = getpwnam("nobody");
    if (!pw) {
        *why = "no user nobody";
        return -1;
    }
    if (prog && run({prog, "--version"}, {.uid = int(pw->pw_uid)}).status != 0) {
        *why = std::string("user nobody can't run ") + prog + " (a folder above it closed to others?)";
        return -1;
    }
    return int(pw->pw_uid);
}

void checkusage(const std::string &usage, const std::vector<std::vector<std::string>> &cases)
{
    for (const auto &args : cases) {
        SCOPED_TRACE(args.size());
        runresult r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
}

void checkhelp(const std::string &prog, const std::string &welcome, const std::string &help,
               const std::string &version)
{
    std::vector<std::vector<std::string>> cases = {
        {prog, "--help"}, {prog, "--help", "x"}, {prog, "--help", "dump", "a", "b", "c"},
        {prog, "--version"}, {prog, "--version", "pump", "a", "b", "c"}};
    for (const auto &args : cases) {
        SCOPED_TRACE(args[1] + " with " + std::to_string(args.size() - 2) + " more");
        runresult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, welcome);
        EXPECT_EQ(r.out, args[1] == "--help" ? help : version);
        r = run(args, {.out = "/dev/full"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + "can't write standard output: No space left on device\n");
    }
}
