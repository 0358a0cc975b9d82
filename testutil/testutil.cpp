#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

runresult run(const std::vector<std::string> &args, long fsize)
{
    char tmpl[] = "/tmp/runXXXXXX";
    std::string tmp = mkdtemp(tmpl);
    std::string outp = tmp + "/out", errp = tmp + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (fsize > 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit rl{rlim_t(fsize), rlim_t(fsize)};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    runresult r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), readfile(outp),
                readfile(errp)};
    std::filesystem::remove_all(tmp);
    return r;
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
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    std::filesystem::remove_all(dir);
}

std::string u16(unsigned v) { return {char(v), char(v >> 8)}; }
std::string u32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
