#include "outfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void droptemp(tempfile *t)
{
    if (t->f)
        fclose(t->f);
    if (!t->tmp.empty())
        unlink(t->tmp.c_str());
    delete t;
}

// Creates path itself when it does not exist, else a temporary file beside
// it with the same mode. Sets tmp to the file created; -1 when none was.
static int createout(const std::string &path, std::string &tmp)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
        if (fd >= 0)
            tmp = path;
        return fd;
    }
    struct stat st;
    mode_t mode = stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0666;
    size_t base = path.rfind('/') + 1;  // npos + 1 is 0: a bare name
    std::string stem = path.substr(0, base) + "." + path.substr(base) + "." +
                       std::to_string(getpid()) + ".";
    for (int n = 0; n < 100; n++) {
        std::string name = stem + std::to_string(n);
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0)
            tmp = name;
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

tempfilep opentemp(const std::string &path)
{
    tempfilep t(new tempfile{nullptr, "", path}, droptemp);
    int fd = createout(path, t->tmp);
    if (fd >= 0 && !(t->f = fdopen(fd, "wb"))) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return t;
}

int committemp(tempfilep t)
{
    int err = 0;
    if (fflush(t->f) != 0 || ferror(t->f))
        err = errno ? errno : EIO;
    FILE *f = t->f;
    t->f = nullptr;
    if (fclose(f) != 0 && !err)
        err = errno ? errno : EIO;
    if (!err && t->tmp != t->path && rename(t->tmp.c_str(), t->path.c_str()) != 0)
        err = errno;
    if (!err)
        t->tmp.clear();
    return err;
}
