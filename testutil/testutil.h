// Helpers for tests that run the built programs on files they make.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct runopts {
    long fsize = 0;             // file size limit in bytes (RLIMIT_FSIZE), 0 for none
    long memory = 0;            // address space limit in bytes (RLIMIT_AS), 0 for none
    long files = 0;             // open files limit (RLIMIT_NOFILE, hard too), 0 for none
    int uid = -1;               // run as this user and its group (the tests run as root)
    std::string out = {};       // standard output to this file instead of being captured
    bool closedout = false;     // standard output a pipe nobody reads any more
    size_t maxout = 4 << 20;    // bytes captured; a program saying more is killed
    std::vector<std::string> env = {};  // "NAME=value" set in its environment
    std::vector<int> ignored = {};      // signals it starts with ignored, as nohup leaves SIGHUP
};

struct runresult {
    int status;                 // exit status, or 128 + signal
    std::string out, err;
    long maxrss;                // peak resident memory in KiB
};

struct child {
    pid_t pid;
    int out, err;               // pipes from its standard output and error
    size_t maxout;
};

// Starts args[0] with args, standard input from /dev/null.
child start(const std::vector<std::string> &args, const runopts &o = {});
runresult finish(child c);      // collects its output until it ends
inline runresult run(const std::vector<std::string> &args, const runopts &o = {})
{
    return finish(start(args, o));
}

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

// The user to run as in tests of permissions: nobody, or -1 (with the
// reason in why) when the tests don't run as root and can't switch.
int otheruser(std::string *why);

// Little-endian builders for fixtures.
std::string u16(unsigned v);
std::string u32(uint32_t v);

// Runs prog with --help and with --version, alone and followed by words an
// operation would take: each prints help or version whole on standard
// output and only welcome on standard error; into a full disk, each fails
// with 2 and says why.
void checkhelp(const std::string &prog, const std::string &welcome, const std::string &help,
               const std::string &version);
