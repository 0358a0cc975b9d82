// zbqtool dump and pump of a 200 MB wave bank against copying the same bytes
// with cp, and the peak memory of the dump.
//   wavebench path/to/zbqtool path/to/peakrss workdir
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "benchutil.h"

static std::string u32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s path/to/zbqtool path/to/peakrss workdir\n", argv[0]);
        return 1;
    }
    std::string zbq = argv[1], helper = argv[2], work = argv[3];
    const int runs = 5, count = 400;
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    // 400 samples from 100 KB to 900 KB: tones, silence and noise
    std::mt19937 rng(5);
    std::string table, data;
    size_t largest = 0;
    for (int i = 0; i < count; i++) {
        uint32_t len = 100000 + uint32_t(rng() % 800000);
        largest = std::max<size_t>(largest, len);
        std::string name = "SAMPLE " + std::to_string(i);
        name.resize(15, ' ');
        table += name + '\0' + u32(len) + u32(len / 4) + u32(len / 2) + u32(uint32_t(i % 7) - 3);
        for (uint32_t k = 0; k < len; k++)
            data += char(i % 3 == 0 ? int(100 * std::sin(k * (i + 1) * 0.001)) : i % 3 == 1 ? 0 : int(rng()));
    }
    std::string bank = work + "/bank.zbq";
    FILE *f = fopen(bank.c_str(), "wb");
    std::string head = u32(0) + u32(count);
    if (!f || fwrite(head.data(), 1, 8, f) != 8 || fwrite(table.data(), 1, table.size(), f) != table.size() ||
        fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
        fprintf(stderr, "wavebench: can't write %s\n", bank.c_str());
        return 1;
    }
    printf("%d samples, %.1f MB; medians of %d interleaved runs\n\n", count, data.size() / 1e6, runs);
    printf("%-34s %12s %12s %8s\n", "", "ours", "cp", "ratio");

    int fresh = 0;
    std::string dir, copy;
    auto setup = [&] {
        dir = work + "/d" + std::to_string(fresh++);
        copy = work + "/copy" + std::to_string(fresh);
        std::filesystem::create_directories(dir);
        sync();
    };
    auto [d, cd] = interleave(runs, [&] { runprog({zbq, "dump", bank, dir}); },
                              [&] { runprog({"cp", bank, copy}); }, setup);
    row("dump", d, cd);
    long rss = peakrss(helper, {zbq, "dump", bank, dir});
    printf("%-34s %10.1f MB %10.1f MB %7.2fx\n", "dump peak memory vs largest sample", rss / 1024.0,
           largest / 1048576.0, rss / 1024.0 / (largest / 1048576.0));

    std::string src = dir;
    auto [p, cp] = interleave(runs, [&] { runprog({zbq, "pump", work + "/back" + std::to_string(fresh) + ".zbq", src}); },
                              [&] { runprog({"cp", bank, copy}); }, setup);
    row("pump", p, cp);
    std::string back = work + "/back" + std::to_string(fresh) + ".zbq";
    runprog({zbq, "pump", back, src});
    runprog({"cmp", "-s", bank, back});     // the round trip must hold
    if (!getenv("KEEP"))
        std::filesystem::remove_all(work);
    return 0;
}
