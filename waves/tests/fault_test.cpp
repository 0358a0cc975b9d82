// Failing disks and odd paths: every failure is reported and nothing is lost.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include "wavefix.h"

class WaveFault : public TempDir {
protected:
    void SetUp() override
    {
        TempDir::SetUp();
        mkdir(path("out").c_str(), 0777);
    }
};

TEST_F(WaveFault, DumpFailsWhenTheDiskFillsUp)
{
    SKIP_WITHOUT("resource limits");
    writefile(path("w.zbq"), u32(0) + u32(1) + rec(pumpname("BIG"), 5000) + std::string(5000, 'x'));
    writefile(path("out/bankinfo.lua"), "edited");
    runresult r = run({PROG, "dump", path("w.zbq"), path("out")}, {.fsize = 4096});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "header: version 0, waves 1\n"
                     "sample    0, name 'BIG            ' (   0), len 5000, loop 0-0, fine 0\n" +
                         path("out") + "/sound000.raw: can't write: File too large\n");
    EXPECT_EQ(r.err, welcome + "error in dumping\n");
    EXPECT_TRUE(listdir(path("out")).empty());  // the old script went before the sample
}

// What the program needs in its environment to fail reads of file, in the
// kernel's copy or, buffered, in read.
static std::vector<std::string> failreads(const std::string &file, bool buffered)
{
    std::vector<std::string> env = {"FAILREAD=" + file};
    if (buffered)
        env.push_back("NOCOPYRANGE=1");
    return faildisk(env);
}

// A copy whose input fails names that input, not the file it was writing.
TEST_F(WaveFault, CopiesThatFailNameTheFileThatCouldNotBeRead)
{
    SKIP_WITHOUT("LD_PRELOAD");
    writefile(path("out/a.raw"), std::string(5000, 'a'));  // checked for a WAV header before the copy
    writefile(path("out/b.raw"), "bbbbb");                  // too short for one
    writefile(path("w.zbq"), u32(0) + u32(1) + rec(pumpname("BIG"), 5000) + std::string(5000, 'x'));
    mkdir(path("dumped").c_str(), 0777);
    std::string pumped = "wubo works! top: 1\nmax sample 0\nsample 0:\n", eio = ": Input/output error\n",
                dumped = "header: version 0, waves 1\n"
                         "sample    0, name 'BIG            ' (   0), len 5000, loop 0-0, fine 0\n",
                copying = pumped + "smp    0: fn " + path("out/b.raw") + ", name S              \n"
                                   "    len 5, loop 0-0, fine 0\n\n";
    struct {
        std::string op, failing;
        bool buffered;
        std::string out;
    } cases[] = {
        {"pump", "out/a.raw", false, pumped + "can't read " + path("out/a.raw") + eio},
        {"pump", "out/b.raw", false, copying + "can't read " + path("out/b.raw") + eio},
        {"pump", "out/b.raw", true, copying + "can't read " + path("out/b.raw") + eio},
        {"dump", "w.zbq", false, dumped + "can't read " + path("w.zbq") + eio},
        {"dump", "w.zbq", true, dumped + "can't read " + path("w.zbq") + eio},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.failing + (c.buffered ? ", buffered" : ""));
        std::string name = c.failing.substr(c.failing.find('/') + 1);
        writefile(path("out/bankinfo.lua"), "return { [0] = { file = '" + name + "', name = 'S' } }");
        bool pump = c.op == "pump";
        runresult r = run({PROG, c.op, path(pump ? "new.zbq" : "w.zbq"), path(pump ? "out" : "dumped")},
                          {.env = failreads(path(c.failing), c.buffered)});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, welcome + (pump ? "error in pumping\n" : "error in dumping\n"));
        EXPECT_FALSE(exists(path("new.zbq")));
        EXPECT_TRUE(listdir(path("dumped")).empty());
    }
}

TEST_F(WaveFault, InputsThatAreNoBankOrDirectory)
{
    runresult r = run({PROG, "dump", path("out"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "can't input file\n");
    r = run({PROG, "dump", devnull, path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, devnull + ": wave bank ends inside its header\n");
    if (!leaveout("/proc/self/mem")) {
        r = run({PROG, "dump", "/proc/self/mem", path("out")});    // address 0 is never mapped
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "can't read /proc/self/mem: Input/output error\n");
    }
    writefile(path("file"), "");
    r = run({PROG, "pump", path("w.zbq"), path("file")});
    EXPECT_EQ(r.status, 2);
    // Lua opens the script through the C runtime, which on Windows finds no path through a file
    std::string notdir = lacks("ENOTDIR in the C runtime").empty() ? "Not a directory" : "No such file or directory";
    EXPECT_EQ(r.out, "Error loading lua: cannot open " + path("file") + "/bankinfo.lua: " + notdir + "\n");
    EXPECT_TRUE(listdir(path("out")).empty());
}

TEST_F(WaveFault, EveryTruncationFailsCleanly)
{
    std::string bank = u32(0) + u32(3) + rec(pumpname("A"), 3) + rec("") + rec(pumpname("B"), 2) + "abcde";
    for (size_t n = 0; n < bank.size(); n++) {
        SCOPED_TRACE(n);
        writefile(path("w.zbq"), bank.substr(0, n));
        runresult r = run({PROG, "dump", path("w.zbq"), path("out")});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find(path("w.zbq") + ": wave bank ends inside"), std::string::npos);
        EXPECT_TRUE(listdir(path("out")).empty());
    }
    writefile(path("w.zbq"), bank);
    EXPECT_EQ(run({PROG, "dump", path("w.zbq"), path("out")}).status, 0);
}

TEST_F(WaveFault, BankGoesWhereFopenWouldWriteIt)
{
    SKIP_WITHOUT("symbolic links");
    writefile(path("out/bankinfo.lua"), "return { [0] = { name = 'A' } }");
    std::string want = u32(0) + u32(1) + rec(pumpname("A"));
    writefile(path("real.zbq"), "old");
    ASSERT_EQ(symlink("real.zbq", path("link.zbq").c_str()), 0);
    ASSERT_EQ(run({PROG, "pump", path("link.zbq"), path("out")}).status, 0);
    EXPECT_EQ(readfile(path("real.zbq")), want);
    struct stat st;
    ASSERT_EQ(lstat(path("link.zbq").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

#ifndef __linux__
    GTEST_SKIP() << "device 1,7 is full on Linux only";
#endif
    if (mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "can't make device nodes here: " << strerror(errno);
    runresult r = run({PROG, "pump", path("full"), path("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(r.out.find("\n\n") + 2), path("full") + ": can't write: No space left on device\n");

    // summaries that can't be written fail the run; the files stay whole
    writefile(path("w.zbq"), u32(0) + u32(1) + rec(pumpname("A"), 3) + "abc");
    for (bool full : {true, false}) {
        SCOPED_TRACE(full);
        r = run({PROG, "dump", path("w.zbq"), path("out")},
                {.out = full ? path("full") : "", .closedout = !full});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, welcome + "can't write standard output: " +
                             (full ? "No space left on device" : "Broken pipe") + "\nerror in dumping\n");
        EXPECT_EQ(readfile(path("out/sound000.raw")), "abc");
        EXPECT_EQ(readfile(path("out/bankinfo.lua")),
                  "local _BANK = {}\n\n_BANK[0] = \n{\n\tfile = \"sound000.raw\",\n\tname = \"A              \",\n}\n\n"
                  "return _BANK\n");
        remove(path("out/bankinfo.lua").c_str());
    }
    // a write that fails inside the last line leaves the stream nothing to
    // flush at the end, yet the reason is still the disk's: the last lines
    // here cross 4096 and 8192 bytes, where stdio's buffers fill
    for (uint32_t n : {60, 121}) {
        SCOPED_TRACE(n);
        std::string table;
        for (uint32_t i = 0; i < n; i++)
            table += rec(pumpname("A"));
        writefile(path("w.zbq"), u32(0) + u32(n) + table);
        r = run({PROG, "dump", path("w.zbq"), path("out")}, {.out = path("full")});
        EXPECT_EQ(r.err, welcome + "can't write standard output: No space left on device\nerror in dumping\n");
    }
}

TEST_F(WaveFault, SigtermDuringADumpRemovesItsTemporary)
{
    SKIP_WITHOUT("FIFOs");
    writefile(path("out/sound000.raw"), "edited");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    child c = start({PROG, "dump", path("fifo"), path("out")});
    // the bank stalls inside the second sample's data, the first one's
    // replacement complete but waiting for its sync
    int fd = open(path("fifo").c_str(), O_WRONLY);
    std::string part = u32(0) + u32(2) + rec(pumpname("A"), 3) + rec(pumpname("B"), 100) + "new" + "abc";
    ASSERT_EQ(write(fd, part.data(), part.size()), ssize_t(part.size()));
    bool seen = false;
    for (int i = 0; i < 50000 && !seen; i++) {
        int temps = 0;
        for (const auto &n : listdir(path("out")))
            temps += n.rfind(".zbqtool-", 0) == 0;
        seen = temps == 2;
        if (!seen)
            usleep(100);
    }
    kill(c.pid, SIGTERM);
    runresult r = finish(c);
    close(fd);
    EXPECT_TRUE(seen);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(listdir(path("out")), std::vector<std::string>{"sound000.raw"});
    EXPECT_EQ(readfile(path("out/sound000.raw")), "edited");
}

// Copies of sample bytes go through the kernel between regular files and
// through a buffer where a FIFO is at either end: both fail alike.
TEST_F(WaveFault, CopiesFailAlikeThroughTheKernelOrABuffer)
{
    // a dump from a FIFO onto a disk that fills
    SKIP_WITHOUT("FIFOs");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::string bank = u32(0) + u32(1) + rec(pumpname("BIG"), 5000) + std::string(5000, 'x');
    std::thread writer([&] { writefile(path("fifo"), bank); });
    runresult r = run({PROG, "dump", path("fifo"), path("out")}, {.fsize = 4096});
    writer.join();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(r.out.find('\n', r.out.find("sample")) + 1),
              path("out") + "/sound000.raw: can't write: File too large\n");
    EXPECT_TRUE(listdir(path("out")).empty());
    // and through the buffer from a regular file, a sample larger than the buffer
    uint32_t big = (1 << 20) + 1;
    writefile(path("big.zbq"), u32(0) + u32(1) + rec(pumpname("BIG"), big) + std::string(big, 'x'));
    r = run({PROG, "dump", path("big.zbq"), path("out")}, {.fsize = 4096, .env = faildisk({"NOCOPYRANGE=1"})});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "header: version 0, waves 1\nsample    0, name 'BIG            ' (   0), len 1048577, loop 0-0, "
                     "fine 0\n" + path("out") + "/sound000.raw: can't write: File too large\n");
    EXPECT_TRUE(listdir(path("out")).empty());

    // a pump whose sample file shrinks or grows once it was measured: the
    // pump is held writing its summary into a full pipe meanwhile
    std::string script = "local t = {}\nfor i = 0, 1999 do t[i] = { name = 'X' } end\n"
                         "t[2000] = { file = 'a.raw', name = 'A' }\nreturn t\n";
    writefile(path("out/bankinfo.lua"), script);
    ASSERT_EQ(mkfifo(path("w.fifo").c_str(), 0600), 0);
    for (std::string bankname : {"w.zbq", "w.fifo"})
        for (bool grow : {false, true}) {
            SCOPED_TRACE(bankname + (grow ? ", grown" : ", shrunk"));
            writefile(path("out/a.raw"), std::string(5000, 'a'));
            std::string drained;
            std::thread reader;
            if (bankname == "w.fifo")
                reader = std::thread([&] { drained = readfile(path("w.fifo")); });
            child c = start({PROG, "pump", path(bankname), path("out")});
            int queued = 0;
            for (int i = 0; i < 10000 && queued < 65536; i++) {
                usleep(1000);
                ioctl(c.out, FIONREAD, &queued);
            }
            if (grow)
                writefile(path("out/a.raw"), std::string(5001, 'a'));  // truncated, then longer
            else
                ASSERT_EQ(truncate(path("out/a.raw").c_str(), 10), 0);
            r = finish(c);
            if (reader.joinable())
                reader.join();
            EXPECT_EQ(r.status, 2);
            std::string tail = path("out/a.raw") + ": size changed while reading\n";
            ASSERT_GE(r.out.size(), tail.size());
            EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
        }
    EXPECT_FALSE(exists(path("w.zbq")));
}
