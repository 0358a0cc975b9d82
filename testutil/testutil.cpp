#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#ifdef _WIN32
#include <windows.h>
#endif

std::vector<std::string> faildisk(std::vector<std::string> env)
{
#ifdef FAILDISK
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back("LD_PRELOAD=" FAILDISK);
    // the sanitizers' runtime would be loaded first
    env.push_back("ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0");
#endif
    return env;
}

#ifndef _WIN32
static std::string probe(const std::string &what)
{
    if (what[0] == '/')
        return access(what.c_str(), F_OK) == 0 ? "" : "no " + what + " here";
    if (what == "LD_PRELOAD")   // the failing disk fails reads of the file FAILREAD names
        return run({"/bin/cat", "/dev/null"}, {.env = faildisk({"FAILREAD=/dev/null"})}).status != 0
                   ? ""
                   : "LD_PRELOAD loads no failing disk (testutil/faildisk.cpp) into programs here";
    if (what == "RLIMIT_AS")    // setlimits allocates 128 MiB under a limit of 64
        return run({"--alloc", std::to_string(128 << 20)}, {.memory = 64 << 20}).status != 0
                   ? ""
                   : "RLIMIT_AS is not enforced here (qemu-user ignores it)";
    return "";
}
#endif

std::string lacks(const std::string &what)
{
#ifdef _WIN32
    return "Windows lacks " + what;
#else
    static std::map<std::string, std::string> known;    // each probe runs once
    if (!known.count(what))
        known[what] = probe(what);
    return known[what];
#endif
}

bool leaveout(const std::string &what)
{
    static std::set<std::string> said;
    std::string why = lacks(what);
    if (!why.empty() && said.insert(why).second)
        std::cout << "left out: " << why << "\n";
    return !why.empty();
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
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void TempDir::SetUp()
{
#ifdef _WIN32
    // in GetTempPathW's folder, a name no other run holds
    namespace fs = std::filesystem;
    static std::mt19937 rng(std::random_device{}());
    fs::path p;
    char name[16];
    do {
        snprintf(name, sizeof name, "t%08x", unsigned(rng()));
        p = fs::temp_directory_path() / name;
    } while (!fs::create_directory(p));
    dir = p.string();
#else
    std::string tmpl = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/tXXXXXX");
    dir = mkdtemp(tmpl.data());
#endif
}

#ifdef _WIN32
// Removes p and all below it through the wide calls, which take paths past MAX_PATH.
static void removeall(const std::wstring &p)
{
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW((p + L"\\*").c_str(), &f);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &f)) {
        std::wstring name = f.cFileName, sub = p + L"\\" + name;
        if (name == L"." || name == L"..")
            continue;
        SetFileAttributesW(sub.c_str(), FILE_ATTRIBUTE_NORMAL);   // a read-only file can't be removed
        if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            removeall(sub);
        else
            DeleteFileW(sub.c_str());
    }
    FindClose(h);
    RemoveDirectoryW(p.c_str());
}
#endif

void TempDir::TearDown()
{
#ifdef _WIN32
    removeall(L"\\\\?\\" + std::filesystem::path(dir).wstring());
#else
    namespace fs = std::filesystem;
    for (const auto &e : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied))
        if (!e.is_symlink() && e.is_directory())   // a link may loop: not followed
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add);
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
#endif
}

bool nullandfull(const std::string &dir, std::string *why)
{
#ifdef __linux__
    if (mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
        mknod((dir + "/full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0)
        return true;
    *why = std::string("can't make device nodes here: ") + strerror(errno);
#else
    (void)dir;
    *why = "devices 1,3 and 1,7 are null and full on Linux only";
#endif
    return false;
}

int otheruser(std::string *why, const char *prog)
{
    if (std::string w = lacks("users to run a program as"); !w.empty()) {
        *why = w;
        return -1;
    }
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
        if (leaveout("/dev/full"))
            continue;
        r = run(args, {.out = "/dev/full"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + "can't write standard output: No space left on device\n");
    }
}
