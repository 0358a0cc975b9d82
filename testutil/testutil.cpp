#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// A pipe that programs started later don't inherit.
static bool cloexecpipe(int fds[2])
{
#ifdef HAVE_PIPE2
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    // the tests start their programs from one thread: none can come between
    return pipe(fds) == 0 && fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
#endif
}

child start(const std::vector<std::string> &args, const runopts &o)
{
    int out[2], err[2];
    if (!cloexecpipe(out) || !cloexecpipe(err))
        abort();
    if (o.closedout) {
        close(out[0]);
        out[0] = -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int to = o.out.empty() ? out[1] : open(o.out.c_str(), O_WRONLY);
        if (in < 0 || to < 0)
            _exit(126);
        dup2(in, 0);
        dup2(to, 1);
        dup2(err[1], 2);
        if (o.fsize > 0) {
            rlimit rl{rlim_t(o.fsize), rlim_t(o.fsize)};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (o.files > 0) {
            rlimit rl{rlim_t(o.files), rlim_t(o.files)};
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        if (o.memory > 0) {
            rlimit rl{rlim_t(o.memory), rlim_t(o.memory)};
            setrlimit(RLIMIT_AS, &rl);
        }
        if (o.uid >= 0) {
            passwd *pw = getpwuid(uid_t(o.uid));
            if (!pw || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
                _exit(126);
        }
        for (const auto &e : o.env)
            putenv(const_cast<char *>(e.c_str()));  // the child's own copy of o
        signal(SIGPIPE, SIG_DFL);   // as a shell starts programs
        for (int sig : o.ignored)
            signal(sig, SIG_IGN);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0], o.maxout};
}

runresult finish(child c)
{
    std::string text[2];
    pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    for (int open = (c.out >= 0) + (c.err >= 0); open > 0;) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || fds[k].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0 && text[0].size() + text[1].size() < c.maxout) {
                text[k].append(buf, size_t(n));
                if (text[0].size() + text[1].size() >= c.maxout)
                    kill(c.pid, SIGKILL);   // a runaway: enough has been seen
            } else if (n <= 0) {
                close(fds[k].fd);
                fds[k].fd = -1;
                open--;
            }
        }
    }
    int st = 0;
    rusage ru{};
    wait4(c.pid, &st, 0, &ru);
#ifdef __APPLE__
    ru.ru_maxrss /= 1024;   // bytes there, KiB elsewhere
#endif
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), text[0], text[1], ru.ru_maxrss};
}

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

int otheruser(std::string *why)
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
    return int(pw->pw_uid);
}

std::string u16(unsigned v) { return {char(v), char(v >> 8)}; }
std::string u32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

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
