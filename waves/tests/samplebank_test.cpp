// The committed sample bank, read from its bytes: every sample is audible and
// has the shape its name says (8-bit signed, made for 8000 Hz).
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

#include "wavefix.h"

static uint32_t get_u32(const std::string &b, size_t at)
{
    auto c = [&](size_t k) { return uint32_t((unsigned char)b[at + k]); };
    return c(0) | c(1) << 8 | c(2) << 16 | c(3) << 24;
}

static double rms(const std::vector<int> &v, size_t from, size_t to)
{
    double s = 0;
    for (size_t i = from; i < to; i++)
        s += v[i] * v[i];
    return std::sqrt(s / double(to - from));
}

// Sign changes in v[from, to), zeros skipped: a slow wave may touch 0 as it crosses.
static int crossings(const std::vector<int> &v, size_t from, size_t to)
{
    int n = 0, last = 0;
    for (size_t i = from; i < to; i++)
        if (v[i]) {
            n += last * v[i] < 0;
            last = v[i];
        }
    return n;
}

TEST(SampleBank, EverySampleSoundsAsNamed)
{
    enum kind { none, kick, snare, square, saw, triangle };
    struct {
        const char *name;
        uint32_t len, loopbegin, loopend, finetune;
        kind k;
        int period;             // in samples, for the looped waveforms
        double minrms, maxrms;  // whole sample, full scale 127
    } want[] = {
        {"KICK", 6000, 0, 0, 0, kick, 0, 12, 50},
        {"SNARE", 4000, 0, 0, uint32_t(-3), snare, 0, 6, 40},
        {"", 0, 0, 0, 0, none, 0, 0, 0},
        {"SQUARE LEAD", 3200, 0, 3200, 5, square, 32, 60, 127},
        {"SAW BASS", 4000, 100, 3700, 0, saw, 72, 60, 90},  // full-range ramp: 127 / sqrt(3) = 73
        {"TRIANGLE PAD", 5120, 512, 5120, 12, triangle, 128, 60, 90},
    };
    const size_t n = std::size(want);
    std::string b = readfile(SAMPLES "/waves.zbq");
    ASSERT_GE(b.size(), 8 + 32 * n);
    EXPECT_EQ(get_u32(b, 0), 0u);
    ASSERT_EQ(get_u32(b, 4), n);
    size_t at = 8 + 32 * n;     // the data follows the table, record after record
    for (size_t r = 0; r < n; r++) {
        const auto &w = want[r];
        SCOPED_TRACE(w.name);
        const size_t rec = 8 + 32 * r;
        const uint32_t len = get_u32(b, rec + 16), lb = get_u32(b, rec + 20), le = get_u32(b, rec + 24);
        EXPECT_EQ(b.substr(rec, 16), w.k == none ? std::string(16, '\0') : pumpname(w.name));
        EXPECT_EQ(len, w.len);
        EXPECT_EQ(lb, w.loopbegin);
        EXPECT_EQ(le, w.loopend);
        EXPECT_EQ(get_u32(b, rec + 28), w.finetune);
        if (b[rec] == 0 || len == 0)
            continue;
        ASSERT_LE(at + len, b.size());
        std::vector<int> v(len);
        for (size_t i = 0; i < len; i++) {
            int c = (unsigned char)b[at + i];
            v[i] = c < 128 ? c : c - 256;
        }
        at += len;

        // Loud but not clipped, no offset (so a silent or flat sample fails), loops inside.
        int peak = 0, sum = 0, ups = 0, downs = 0, turns = 0, jump = 0;
        for (size_t i = 0; i < len; i++) {
            peak = std::max(peak, std::abs(v[i])), sum += v[i];
            int d = i ? v[i] - v[i - 1] : 0;
            ups += d > 0, downs += d < 0, jump = std::max(jump, std::abs(d));
            turns += i > 1 && d * (v[i - 1] - v[i - 2]) < 0;
        }
        EXPECT_GE(peak, 64);
        EXPECT_LE(peak, 127);
        EXPECT_LE(std::abs(sum) / double(len), 4);
        EXPECT_GE(rms(v, 0, len), w.minrms);
        EXPECT_LE(rms(v, 0, len), w.maxrms);
        EXPECT_LE(lb, le);
        EXPECT_LE(le, len);

        const size_t q = len / 4, p = size_t(w.period);
        switch (w.k) {
        case kick:      // dies away; about 200 Hz at first, near 50 Hz by sample 1600
            EXPECT_GT(rms(v, 0, q), 8 * rms(v, len - q, len));
            EXPECT_GT(crossings(v, 0, 400), 2 * crossings(v, 1600, 2000));
            EXPECT_GT(crossings(v, 1600, 2000), 0);
            break;
        case snare:     // dies away; noise changes sign at about every other sample
            EXPECT_GT(rms(v, 0, q), 8 * rms(v, len - q, len));
            EXPECT_GT(crossings(v, 0, q), int(q / 4));
            break;
        case square: {  // two levels, one either side of zero
            int hi = *std::max_element(v.begin(), v.end()), lo = *std::min_element(v.begin(), v.end());
            size_t two = std::count(v.begin(), v.end(), hi) + std::count(v.begin(), v.end(), lo);
            EXPECT_GE(two, len * 95 / 100);
            EXPECT_LE(std::abs(hi + lo), 2);
            break;
        }
        case saw:       // rises at every step but one fall through the whole range each period
            EXPECT_EQ(ups + downs, int(len) - 1);
            EXPECT_NEAR(downs, len / p, 1);
            EXPECT_GT(jump, peak);
            break;
        case triangle:  // small steps, turning at each peak and trough
            EXPECT_LE(jump, 8);
            EXPECT_NEAR(turns, 2 * len / p, 2);
            break;
        case none:
            break;
        }
        if (p == 0)
            continue;
        size_t i = 0;
        while (i + p < len && v[i] == v[i + p])
            i++;
        EXPECT_EQ(i, len - p) << "period broken";
        // the loop's last period leads into its first, so it plays without a click
        EXPECT_TRUE(le - lb >= p && std::equal(v.begin() + lb, v.begin() + lb + p, v.begin() + (le - p)));
    }
    EXPECT_EQ(at, b.size());
}
