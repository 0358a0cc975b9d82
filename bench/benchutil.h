// Timing helpers for the benchmarks: wall time of a function or of a run of
// a program, medians of several interleaved runs.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>
#include <vector>

inline double seconds(const std::function<void()> &fn)
{
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs a program with its output thrown away; returns its peak resident
// memory in KiB through maxrss. Exits when the program fails.
inline void runprog(const std::vector<std::string> &args, long *maxrss = nullptr)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int st;
    rusage ru;
    wait4(pid, &st, 0, &ru);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        fprintf(stderr, "bench: %s failed\n", args[0].c_str());
        exit(1);
    }
    if (maxrss)
        *maxrss = ru.ru_maxrss;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs a and b alternately, runs times each, calling setup untimed before
// each; returns the two medians.
inline std::pair<double, double> interleave(int runs, const std::function<void()> &a,
                                            const std::function<void()> &b,
                                            const std::function<void()> &setup = [] {})
{
    std::vector<double> ta, tb;
    for (int i = 0; i < runs; i++) {
        setup();
        ta.push_back(seconds(a));
        setup();
        tb.push_back(seconds(b));
    }
    return {median(ta), median(tb)};
}

// Peak resident memory of a program in KiB. It is started by the small
// peakrss helper: a child forked from a large process would count that
// process's pages as its own until it execs.
inline long peakrss(const std::string &helper, std::vector<std::string> args)
{
    std::string out = "/tmp/peakrss." + std::to_string(getpid());
    args.insert(args.begin(), {helper, out});
    runprog(args);
    long kib = 0;
    if (FILE *f = fopen(out.c_str(), "r")) {
        if (fscanf(f, "%ld", &kib) != 1)
            kib = 0;
        fclose(f);
    }
    unlink(out.c_str());
    return kib;
}

inline void row(const char *what, double ours, double base, const char *unit = "s")
{
    printf("%-34s %10.3f %s %10.3f %s %7.2fx\n", what, ours, unit, base, unit, ours / base);
}
