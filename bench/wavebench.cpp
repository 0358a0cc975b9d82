// zbqtool dump of a 100 MiB wave bank against cp -r of the files it writes,
// its pump against cat of the raw samples into one file, and the dump's
// peak memory.
//   wavebench path/to/zbqtool path/to/peakrss workdir
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <random>
#include <vector>

#include "benchutil.h"
#include "fixbytes.h"

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s path/to/zbqtool path/to/peakrss workdir\n", argv[0]);
        return 1;
    }
    std::string zbq = argv[1], helper = argv[2], work = argv[3];
    const int runs = 9, count = 500;
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);

    // 500 samples of about 200 KiB, 100 MiB in all: tones, silence and noise
    std::mt19937 rng(5);
    std::string table, data;
    size_t largest = 0;
    for (int i = 0; i < count; i++) {
        uint32_t len = 109715 + uint32_t(rng() % 200000);
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
    printf("%d samples, %.1f MiB; medians of %d interleaved runs\n\n", count, data.size() / 1048576.0, runs);
    printf("%-34s %12s %12s %8s\n", "", "ours", "baseline", "ratio");

    // a dump to copy: the baseline of the dump is cp -r of its files
    std::string src = work + "/src";
    std::filesystem::create_directories(src);
    runprog({zbq, "dump", bank, src});
    std::vector<std::string> raws;
    for (const auto &e : std::filesystem::directory_iterator(src))
        if (e.path().extension() == ".raw")
            raws.push_back(e.path());
    std::sort(raws.begin(), raws.end());

    int fresh = 0;
    std::string dir;
    auto setup = [&] {
        dir = work + "/d" + std::to_string(fresh++);
        sync();
    };
    auto [d, cd] = interleave(runs, [&] {
        std::filesystem::create_directories(dir);
        runprog({zbq, "dump", bank, dir});
    }, [&] { runprog({"cp", "-r", src, dir}); }, setup);
    row("dump vs cp -r of its files", d, cd);
    std::string one = work + "/one";
    std::filesystem::create_directories(one);
    long rss = peakrss(helper, {zbq, "dump", bank, one});
    printf("%-34s %10.1f MB %10.1f MB %+7.1f MB\n", "dump peak memory vs largest sample", rss / 1024.0,
           largest / 1048576.0, rss / 1024.0 - largest / 1048576.0);

    std::string back = work + "/back.zbq", joined = work + "/joined";
    std::vector<std::string> cat = {"sh", "-c", "cat \"$@\" >" + joined, "sh"};
    cat.insert(cat.end(), raws.begin(), raws.end());
    auto [p, pc] = interleave(runs, [&] { runprog({zbq, "pump", back, src}); }, [&] { runprog(cat); }, setup);
    row("pump vs cat of the raw samples", p, pc);
    // the pump syncs the bank it writes; so does this baseline
    cat[2] += " && sync " + joined;
    auto [ps, pcs] = interleave(runs, [&] { runprog({zbq, "pump", back, src}); }, [&] { runprog(cat); }, setup);
    row("pump vs cat and sync", ps, pcs);
    runprog({"cmp", "-s", bank, back});     // the round trip must hold
    if (!getenv("KEEP"))
        std::filesystem::remove_all(work);
    return 0;
}
