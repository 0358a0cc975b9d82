// Runs a built program as a shell would and collects what it says; for the
// tests and the benchmarks alike, so it needs no GoogleTest.
#pragma once
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
};

struct child {
    pid_t pid;                  // on Windows its process handle
    int out, err;               // pipes from its standard output and error
    size_t maxout;
};

// Starts args[0] (looked up in PATH when it has no slash; on Windows as
// CreateProcess looks) with args, standard input from the null device.
// Windows sets no limits, users or signals: a test that needs them skips.
child start(const std::vector<std::string> &args, const runopts &o = {});
runresult finish(child c);      // collects its output until it ends
inline runresult run(const std::vector<std::string> &args, const runopts &o = {})
{
    return finish(start(args, o));
}
