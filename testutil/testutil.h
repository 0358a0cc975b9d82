// Helpers for tests that run the built programs on files they make.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <vector>

struct runresult {
    int status;     // exit status, or 128 + signal
    std::string out, err;
};

// Runs args[0] with args, standard input from /dev/null. fsize > 0 limits
// the size of files it writes (with SIGXFSZ ignored, so writes fail with EFBIG).
runresult run(const std::vector<std::string> &args, long fsize = 0);

std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &data);
bool exists(const std::string &path);
std::vector<std::string> listdir(const std::string &dir);   // sorted, without . and ..

// A fresh directory for each test, removed afterwards.
class TempDir : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// Little-endian builders for fixtures.
std::string u16(unsigned v);
std::string u32(uint32_t v);
