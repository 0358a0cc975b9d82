#include "run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <thread>
#include <windows.h>

#include "platform.h"

// One argument as the C runtime splits a command line: quoted when empty or
// holding blanks or quotes, backslashes doubled only before a quote.
static std::string quote(const std::string &a)
{
    if (!a.empty() && a.find_first_of(" \t\n\v\"") == std::string::npos)
        return a;
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            slashes++;
            continue;
        }
        q.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        q += c;
        slashes = 0;
    }
    return q + std::string(2 * slashes, '\\') + "\"";
}

// This environment with the names of env set to their values, as a block
// for CreateProcessW. Names are the same in any case.
static std::wstring environment(const std::vector<std::string> &env)
{
    auto same = [](std::wstring_view a, std::wstring_view b) {
        a = a.substr(0, a.find(L'=', 1) + 1), b = b.substr(0, b.find(L'=', 1) + 1);
        return CompareStringOrdinal(a.data(), int(a.size()), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
    };
    std::vector<std::wstring> set;
    for (const auto &s : env)
        set.push_back(widen(s));
    std::wstring block;
    wchar_t *all = GetEnvironmentStringsW();
    for (const wchar_t *p = all; *p; p += wcslen(p) + 1) {
        bool replaced = false;
        for (const auto &s : set)
            replaced |= same(p, s);
        if (!replaced)
            block.append(p, wcslen(p) + 1);
    }
    FreeEnvironmentStringsW(all);
    for (const auto &s : set)
        block.append(s.c_str(), s.size() + 1);
    return block;   // its own terminator ends the block
}

child start(const std::vector<std::string> &args, const runopts &o)
{
    if (o.fsize > 0 || o.memory > 0 || o.files > 0 || o.uid >= 0 || !o.ignored.empty()) {
        fprintf(stderr, "can't start %s: Windows has no limits, users or ignored signals to set\n", args[0].c_str());
        abort();
    }
    std::string line;
    for (const auto &a : args)
        line += quote(a) + ' ';
    line.pop_back();
    // the child inherits its ends alone: programs are started from one thread
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out[2], err[2];  // read end, write end
    if (!CreatePipe(&out[0], &out[1], &inherit, 0) || !CreatePipe(&err[0], &err[1], &inherit, 0))
        abort();
    SetHandleInformation(out[0], HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err[0], HANDLE_FLAG_INHERIT, 0);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, share, &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE file = o.out.empty() ? out[1]
                                : CreateFileW(widen(o.out).c_str(), GENERIC_WRITE, share, &inherit, OPEN_EXISTING, 0,
                                              nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = file;
    si.hStdError = err[1];
    PROCESS_INFORMATION pi;
    std::wstring cmd = widen(line), env = environment(o.env);
    bool ok = file != INVALID_HANDLE_VALUE &&
              CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                             nullptr, &si, &pi);
    DWORD e = GetLastError();
    CloseHandle(in);
    CloseHandle(out[1]);
    CloseHandle(err[1]);
    if (file != out[1] && file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok) {
        fprintf(stderr, "can't start %s: Windows error %lu\n", args[0].c_str(), e);
        abort();
    }
    CloseHandle(pi.hThread);
    int fd = -1;
    if (o.closedout)
        CloseHandle(out[0]);
    else
        fd = _open_osfhandle(intptr_t(out[0]), _O_RDONLY);
    return {pid_t(intptr_t(pi.hProcess)), fd, _open_osfhandle(intptr_t(err[0]), _O_RDONLY), o.maxout};
}

runresult finish(child c)
{
    HANDLE proc = HANDLE(intptr_t(c.pid));
    std::string text[2];
    std::mutex m;
    auto drain = [&](int k, int fd) {   // the pipes are read at once, or a full one would stall the child
        char buf[65536];
        DWORD n;
        while (ReadFile(HANDLE(_get_osfhandle(fd)), buf, sizeof buf, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> hold(m);
            if (text[0].size() + text[1].size() >= c.maxout)
                continue;
            text[k].append(buf, n);
            if (text[0].size() + text[1].size() >= c.maxout)
                TerminateProcess(proc, 128 + 9);    // a runaway: enough has been seen; the status of SIGKILL
        }
        _close(fd);
    };
    std::thread err;
    if (c.err >= 0)
        err = std::thread(drain, 1, c.err);
    if (c.out >= 0)
        drain(0, c.out);
    if (err.joinable())
        err.join();
    WaitForSingleObject(proc, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(proc, &status);
    CloseHandle(proc);
    return {int(status), text[0], text[1]};
}
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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
#endif
