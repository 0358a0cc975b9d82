// Timing helpers for the benchmarks: wall and CPU time of a function or of
// a run of a program, medians of several interleaved runs.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "run.h"

inline double seconds(const std::function<void()> &fn)
{
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs a program with its standard output thrown away; exits when it fails.
inline void runprog(const std::vector<std::string> &args)
{
    runresult r = run(args, {.out = "/dev/null"});
    if (r.status != 0) {
        fprintf(stderr, "bench: %s failed with %d\n%s", args[0].c_str(), r.status, r.err.c_str());
        exit(1);
    }
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

struct timing {
    double wall, cpu;   // seconds; cpu is user + system
};

// CPU time of this process and of the children it has waited for.
inline double cputime()
{
    rusage self, kids;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &kids);
    auto s = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return s(self.ru_utime) + s(self.ru_stime) + s(kids.ru_utime) + s(kids.ru_stime);
}

// Runs every function in turn, runs times round, calling setup(k) untimed
// before function k; returns the medians of each one's wall and CPU times.
inline std::vector<timing> interleaven(int runs, const std::vector<std::function<void()>> &fns,
                                       const std::function<void(size_t)> &setup = [](size_t) {})
{
    std::vector<std::vector<double>> wall(fns.size()), cpu(fns.size());
    for (int i = 0; i < runs; i++)
        for (size_t k = 0; k < fns.size(); k++) {
            setup(k);
            double c = cputime();
            wall[k].push_back(seconds(fns[k]));
            cpu[k].push_back(cputime() - c);
        }
    std::vector<timing> r;
    for (size_t k = 0; k < fns.size(); k++)
        r.push_back({median(wall[k]), median(cpu[k])});
    return r;
}

// Peak resident memory of a program in KiB. It is started by the small
// peakrss helper: a child spawned by a large process is charged with that
// process's peak.
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

// Wall and CPU times side by side: ours, the baseline's and their ratio.
inline void row2(const std::string &what, timing ours, timing base)
{
    printf("%-48s %7.3f %7.3f %6.2fx %7.3f %7.3f %6.2fx\n", what.c_str(), ours.wall, base.wall,
           ours.wall / base.wall, ours.cpu, base.cpu, ours.cpu / base.cpu);
}
