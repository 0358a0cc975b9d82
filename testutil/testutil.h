// Helpers for tests that run the built programs on files they make.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "compat.h"
#include "fixbytes.h"
#include "run.h"

// Why this system can't give a test what it needs ("" when it can): on
// Windows, everything asked for; elsewhere a path ("/dev/full") that does
// not exist, "LD_PRELOAD" when it loads no failing disk, "RLIMIT_AS" when
// the limit is not enforced (as under qemu-user).
std::string lacks(const std::string &what);
#define SKIP_WITHOUT(what)                      \
    do {                                        \
        std::string why_ = lacks(what);         \
        if (!why_.empty())                      \
            GTEST_SKIP() << why_;               \
    } while (0)
// For one row or step of a test: true, saying why, when it must be left out.
bool leaveout(const std::string &what);

// The null device, as a program is given it.
#ifdef _WIN32
inline const std::string devnull = "NUL";
#else
inline const std::string devnull = "/dev/null";
#endif

// env with what loads the failing disk (testutil/faildisk.cpp) into a
// program: env names its failures, as "FAILREAD=path" or "FAILSYNC=1".
std::vector<std::string> faildisk(std::vector<std::string> env);

std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &data);
bool exists(const std::string &path);
std::vector<std::string> listdir(const std::string &dir);   // sorted, without . and ..

// A fresh directory for each test, removed afterwards.
class TempDir : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// Makes the devices null and full in dir, or says in why what stops it.
bool nullandfull(const std::string &dir, std::string *why);

// The user to run as in tests of permissions: nobody, or -1 (with the
// reason in why) when the tests don't run as root and can't switch, or
// when nobody can't run prog, if given.
int otheruser(std::string *why, const char *prog = nullptr);

// Runs each command line: each fails with 1, saying usage on standard
// error and nothing on standard output.
void checkusage(const std::string &usage, const std::vector<std::vector<std::string>> &cases);

// Runs prog with --help and with --version, alone and followed by words an
// operation would take: each prints help or version whole on standard
// output and only welcome on standard error; into a full disk, each fails
// with 2 and says why.
void checkhelp(const std::string &prog, const std::string &welcome, const std::string &help,
               const std::string &version);
