#!/bin/sh
# Builds the fuzz targets with clang and runs each for a set time (seconds,
# default 180), then reports executions and findings per target. New inputs
# go to build-fuzz/corpus, crashing ones to build-fuzz/artifacts.
set -u
secs=${1:-180}
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFUZZ=ON -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build build-fuzz -j 2 >/dev/null || { echo "fuzz: build failed" >&2; exit 1; }
passed=0 failed=0
for t in art sidecar png zbq script; do
    # the wave bank targets are left out of a build without Lua
    [ -x build-fuzz/fuzz/${t}_fuzz ] || { printf '%-8s not built\n' "$t"; continue; }
    mkdir -p build-fuzz/corpus/$t build-fuzz/artifacts/$t
    log=build-fuzz/$t.log
    # png inputs are capped: a small PNG may still describe a large image
    len=""
    [ $t = png ] && len=-max_len=16384
    build-fuzz/fuzz/${t}_fuzz -max_total_time="$secs" -print_final_stats=1 -close_fd_mask=3 \
        -timeout=10 -rss_limit_mb=3072 $len -artifact_prefix=build-fuzz/artifacts/$t/ \
        build-fuzz/corpus/$t fuzz/corpus/$t >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    found=$(ls build-fuzz/artifacts/$t | wc -l)
    printf '%-8s %12s executions in %ss, %s findings\n' "$t" "${execs:-?}" "$secs" "$found"
    if [ $rc -ne 0 ] || [ "$found" -ne 0 ]; then
        failed=$((failed + 1))
        grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5
    else
        passed=$((passed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
