#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// A pipe that programs started later don't inherit.
static bool cloexecpipe(int fds[2])
{
#ifdef HAVE_PIPE2
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    // programs are started from one thread: none can come between
    return pipe(fds) == 0 && fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
#endif
}

// This environment with the names of env set to their values.
static std::vector<char *> environment(const std::vector<std::string> &env)
{
    auto name = [](std::string_view v) { return v.substr(0, v.find('=') + 1); };
    std::vector<char *> e;
    for (char **p = environ; *p; p++) {
        bool replaced = false;
        for (const auto &s : env)
            replaced |= name(*p) == name(s);
        if (!replaced)
            e.push_back(*p);
    }
    for (const auto &s : env)
        e.push_back(const_cast<char *>(s.c_str()));
    e.push_back(nullptr);
    return e;
}

// Spawned, not forked: a forked child copies the page tables of a large
// caller (a benchmark holding its inputs) and is charged for them. What a
// spawn can't set, the setlimits helper sets before it starts the program.
child start(const std::vector<std::string> &args, const runopts &o)
{
    std::vector<std::string> all;
    if (o.fsize > 0 || o.memory > 0 || o.files > 0 || o.uid >= 0 || !o.ignored.empty()) {
        std::string sigs;
        for (int sig : o.ignored)
            sigs += std::to_string(sig) + ",";
        all = {SETLIMITS, std::to_string(o.fsize), std::to_string(o.memory), std::to_string(o.files),
               std::to_string(o.uid), sigs};
    }
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (const auto &a : all)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    int out[2], err[2];
    if (!cloexecpipe(out) || !cloexecpipe(err))
        abort();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (o.out.empty())
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, o.out.c_str(), O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t def, none;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);   // as a shell starts programs
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&at, &def);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    int e = posix_spawnp(&pid, argv[0], &fa, &at, argv.data(), environment(o.env).data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (e != 0) {   // no child to signal or wait for: a pid of -1 would reach every process
        fprintf(stderr, "can't start %s: %s\n", all[0].c_str(), strerror(e));
        abort();
    }
    close(out[1]);
    close(err[1]);
    if (o.closedout) {
        close(out[0]);
        out[0] = -1;
    }
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
    while (waitpid(c.pid, &st, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), text[0], text[1]};
}
