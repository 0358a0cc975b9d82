// Failing disks and odd paths: every failure is reported and nothing is lost.
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"
#include "tilefix.h"

using namespace std::string_literals;

class TileFault : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        writefile(path("pal.dat"), testpalette());
        mkdir(path("out").c_str(), 0777);
    }
};

TEST_F(TileFault, DumpFailsWhenTheDiskFillsUp)
{
    SKIP_WITHOUT("resource limits");
    std::string noise;
    for (int i = 0; i < 64 * 64; i++)
        noise += char(i * 2654435761u >> 24);      // incompressible: a PNG well over 2 KiB
    writefile(path("t.art"), makeart(0, 0, {{64, 64, 0, noise}}));
    runresult r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}, {.fsize = 2048});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "dump mode: version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0\n" +
                         path("out") + "/tile000.png: can't write image: File too large\nerror in dumping\n");
    EXPECT_TRUE(listdir(path("out")).empty());   // no half-written image

    // an earlier image stays whole; one replaced before the failure is put in place
    writefile(path("t.art"), makeart(0, 1, {{1, 1, 0, "a"}, {64, 64, 0, noise}}));
    mkdir(path("ok").c_str(), 0777);
    ASSERT_EQ(run({PROG, "dump", path("t.art"), path("pal.dat"), path("ok")}).status, 0);
    writefile(path("out/tile000.png"), "earlier");
    writefile(path("out/tile001.png"), "earlier");
    r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}, {.fsize = 2048});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(readfile(path("out/tile000.png")), readfile(path("ok/tile000.png")));
    EXPECT_EQ(readfile(path("out/tile001.png")), "earlier");
    EXPECT_EQ(listdir(path("out")), (std::vector<std::string>{"tile000.png", "tile001.png"}));
}

TEST_F(TileFault, PumpLeavesNoPartOfANewArchive)
{
    SKIP_WITHOUT("resource limits");
    writefile(path("t.art"), makeart(0, 0, {{100, 100, 0, std::string(100 * 100, '\x07')}}));
    ASSERT_EQ(run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}).status, 0);
    runresult r = run({PROG, "pump", path("new.art"), path("pal.dat"), path("out")}, {.fsize = 4096});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("new.art") +
                         ": can't write archive: File too large\nerror in pumping\n");
    EXPECT_FALSE(exists(path("new.art")));
}

TEST_F(TileFault, InputsThatAreNoArchiveOrDirectory)
{
    runresult r = run({PROG, "dump", path("out"), path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "error in dumping\n");   // a directory can't be opened as an archive
    r = run({PROG, "dump", devnull, path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + devnull + ": archive ends inside its header\nerror in dumping\n");
    r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("pal.dat")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret -1 range: -1 - -1\n" + path("pal.dat") +
                         ": can't read directory: Not a directory\nerror in pumping\n");
    EXPECT_FALSE(exists(path("t.art")));
}

TEST_F(TileFault, PumpRefusesAFifoForAnImage)
{
    SKIP_WITHOUT("FIFOs");
    ASSERT_EQ(mkfifo(path("out/tile000.png").c_str(), 0600), 0);
    runresult r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("out") +
                         "/tile000.png: not a regular file\nerror in pumping\n");
}

TEST_F(TileFault, EveryTruncationFailsCleanly)
{
    std::string art = makeart(-1, 1, {{2, 3, 0x01020304, "abcdef"}, {0, 0, 0, ""}, {1, 1, 0x100, "g"}});
    for (size_t n = 0; n < art.size(); n++) {
        SCOPED_TRACE(n);
        writefile(path("t.art"), art.substr(0, n));
        runresult r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(path("t.art") + ": archive ends inside"), std::string::npos);
        EXPECT_TRUE(listdir(path("out")).empty());
        // the whole archive, its reads failing after n bytes: a read error,
        // not its end; the tile before the last is written by then
        writefile(path("t.art"), art);
        if (leaveout("LD_PRELOAD"))
            continue;
        r = run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")},
                {.env = faildisk({"FAILREAD=" + path("t.art"), "FAILAFTER=" + std::to_string(n)})});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + (n < 16 ? "" : "dump mode: version 1, numtiles 3 (reported 0), firsttile -1, "
                                                  "lasttile 1\n") +
                             path("t.art") + ": can't read archive: Input/output error\nerror in dumping\n");
        EXPECT_EQ(listdir(path("out")).size(), n < art.size() - 1 ? 0u : 2u);
        remove(path("out/tile-01.png").c_str());
        remove(path("out/tile-01.yaml").c_str());
    }
    EXPECT_EQ(run({PROG, "dump", path("t.art"), path("pal.dat"), path("out")}).status, 0);
}

TEST_F(TileFault, ArchiveGoesWhereFopenWouldWriteIt)
{
    SKIP_WITHOUT("symbolic links");
    writefile(path("out/tile000.png"), indexpng(2, 1, "\x01\x02"s));
    std::string want = makeart(0, 0, {{2, 1, 0, "\x01\x02"}}, 1, 666);
    auto pump = [&](const std::string &art) {
        return run({PROG, "pump", path(art), path("pal.dat"), path("out")});
    };
    writefile(path("real.art"), "old");
    chmod(path("real.art").c_str(), 0640);
    ASSERT_EQ(symlink("real.art", path("link.art").c_str()), 0);
    ASSERT_EQ(pump("link.art").status, 0);
    EXPECT_EQ(readfile(path("real.art")), want);
    struct stat st;
    ASSERT_EQ(lstat(path("link.art").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path("real.art").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    std::string why;
    if (!nullandfull(dir, &why))
        GTEST_SKIP() << why;
    EXPECT_EQ(pump("null").status, 0);
    runresult r = pump("full");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("full") +
                         ": can't write archive: No space left on device\nerror in pumping\n");
    EXPECT_EQ(listdir(dir), (std::vector<std::string>{"full", "link.art", "null", "out", "pal.dat", "real.art"}));
}

TEST_F(TileFault, SigtermDuringAPumpRemovesItsTemporary)
{
    SKIP_WITHOUT("signals");
    std::string noise;
    for (int i = 0; i < 512 * 512; i++)
        noise += char(i * 2654435761u >> 24);
    std::string png = encodepng(512, 512, noise, 3, 8, std::vector<unsigned char>(1024, 7));
    for (int t = 0; t < 100; t++)
        writefile(path("out/tile" + std::to_string(100 + t) + ".png"), png);
    // a hangup ignored by whoever started the pump, as nohup does, stays ignored
    for (int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        writefile(path("t.art"), "earlier");
        child c = start({PROG, "pump", path("t.art"), path("pal.dat"), path("out")}, {.ignored = {SIGHUP}});
        bool seen = false;
        for (int i = 0; i < 50000 && !seen; i++) {
            for (const auto &n : listdir(dir))
                seen = seen || n.rfind(".vrel-", 0) == 0;
            if (!seen)
                usleep(100);
        }
        kill(c.pid, sig);
        runresult r = finish(c);
        ASSERT_TRUE(seen) << "the pump ended before its temporary was seen";
        EXPECT_EQ(r.status, sig == SIGTERM ? 128 + SIGTERM : 0);
        EXPECT_EQ(readfile(path("t.art")) == "earlier", sig == SIGTERM);
        EXPECT_EQ(listdir(dir), (std::vector<std::string>{"out", "pal.dat", "t.art"}));
    }
}

TEST_F(TileFault, HostileInputsAreRefusedWithinBounds)
{
    // sparse sidecars: 1 MiB is read (its zeros are no entry); a byte more,
    // or 2 TB (1 GiB where file offsets have 32 bits), is refused
    runresult r;
    off_t huge = off_t(sizeof(off_t) > 4 ? int64_t(2) << 40 : int64_t(1) << 30);
    for (off_t size : {off_t(1) << 20, (off_t(1) << 20) + 1, huge}) {
        SCOPED_TRACE(size);
        writefile(path("out/tile000.yaml"), "");
        ASSERT_EQ(truncate(path("out/tile000.yaml").c_str(), size), 0);
        r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")});
        bool read = size == off_t(1) << 20;
        EXPECT_EQ(r.status, read ? 0 : 2);
        EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("out") + "/tile000.yaml: " +
                             (read ? "line 1: not a \"- key: value\" entry; ignored\n"
                                   : "more than 1 MiB, too large for a sidecar\nerror in pumping\n"));
    }
    remove(path("out/tile000.yaml").c_str());
    remove(path("t.art").c_str());

#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limits below";
#endif
#ifndef __linux__
    GTEST_SKIP() << "the address space limit (RLIMIT_AS) is enforced on Linux only";
#endif
    SKIP_WITHOUT("RLIMIT_AS");
    // 1.7 MB of image data that inflates to 256 MiB, for an image of 1 MiB,
    // refused within 64 MiB
    writefile(path("out/tile000.png"), bombpng(1024, 1024, 256));
    r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")}, {.memory = 64 << 20});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("out") +
                         "/tile000.png: can't decode image: the image is too large [LodePNG error 109]\nerror in pumping\n");
    EXPECT_FALSE(exists(path("t.art")));
    // a 65535 x 65535 tile in a sparse archive, with 256 MiB to hold it
    writefile(path("big.art"), makeart(0, 0, {{65535, 65535, 0, ""}}));
    ASSERT_EQ(truncate(path("big.art").c_str(), off_t(24 + int64_t(65535) * 65535)), 0);
    r = run({PROG, "dump", path("big.art"), path("pal.dat"), path("out")}, {.memory = 256 << 20});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "dump mode: version 1, numtiles 1 (reported 0), firsttile 0, lasttile 0\n"
                               "out of memory\nerror in dumping\n");
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"tile000.png"});

    // a tile of 64 MiB is decoded beside its inflated data and written from
    // there: twice its pixels fit in 168 MiB, three times would not
    std::string rows(size_t(65535) * 1024, '\0'), cols(rows.size(), '\0');
    for (size_t x = 0; x < 65535; x++)
        for (size_t y = 0; y < 1024; y++)
            rows[y * 65535 + x] = cols[x * 1024 + y] = char(x + y);
    writefile(path("out/tile000.png"), indexpng(65535, 1024, rows));
    r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")}, {.memory = 168 << 20});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n");
    EXPECT_TRUE(readfile(path("t.art")) == makeart(0, 0, {{65535, 1024, 0, cols}}, 1, 666));
    r = run({PROG, "pump", path("t.art"), path("pal.dat"), path("out")}, {.memory = 96 << 20});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 0\n" + path("out") +
                         "/tile000.png: can't decode image: out of memory [LodePNG error 83]\nerror in pumping\n");
}

TEST_F(TileFault, PumpReadsTheImagesItMeasuredOrFails)
{
    // The archive is a FIFO read only once the pump, writing the first
    // tile's pixels, has filled its pipe; meanwhile the second tile's image
    // is replaced by another file, or cut short or grown in place.
    SKIP_WITHOUT("FIFOs");
    std::string noise;
    for (int i = 0; i < 1100 * 1100; i++)
        noise += char(i * 2654435761u >> 24);
    writefile(path("out/tile000.png"), indexpng(1100, 1100, noise));
    ASSERT_EQ(mkfifo(path("t.art").c_str(), 0600), 0);
    for (std::string how : {"replaced", "cut short", "grown"}) {
        SCOPED_TRACE(how);
        bool inplace = how != "replaced";
        writefile(path("out/tile001.png"), indexpng(2, 1, "\x01\x02"));
        writefile(path("other.png"), indexpng(1, 1, "\x01"));
        int fd = open(path("t.art").c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        child c = start({PROG, "pump", path("t.art"), path("pal.dat"), path("out")});
        int queued = 0;
        for (int i = 0; i < 10000 && queued < 65536; i++) {
            usleep(1000);
            ioctl(fd, FIONREAD, &queued);
        }
        if (how == "replaced")
            ASSERT_EQ(rename(path("other.png").c_str(), path("out/tile001.png").c_str()), 0);
        else if (how == "cut short")
            ASSERT_EQ(truncate(path("out/tile001.png").c_str(), 40), 0);
        else
            std::ofstream(path("out/tile001.png"), std::ios::app) << 'x';
        fcntl(fd, F_SETFL, 0);
        std::string got;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            got.append(buf, size_t(n));
        runresult r = finish(c);
        close(fd);
        if (inplace) {
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, welcome + "file ret 0 range: 0 - 1\n" + path("out/tile001.png") +
                                 ": changed while the pump ran\nerror in pumping\n");
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(got.substr(got.size() - 2), "\x01\x02");   // the image measured, not its stand-in
        }
    }
}
