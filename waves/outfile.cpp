#include "outfile.h"

#include <cerrno>
#include <cstdlib>
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

// A replaced file keeps its mode; a new one gets what creating it would give.
static mode_t filemode(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 07777;
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

tempfilep opentemp(const std::string &path)
{
    tempfilep t(new tempfile{nullptr, "", path}, droptemp);
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string tmp = path.substr(0, base) + "." + path.substr(base) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return t;
    t->tmp = tmp;
    if (fchmod(fd, filemode(path)) != 0 || !(t->f = fdopen(fd, "wb"))) {
        int err = errno;
        if (!t->f)
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
    if (!err && rename(t->tmp.c_str(), t->path.c_str()) != 0)
        err = errno;
    if (!err)
        t->tmp.clear();
    return err;
}

int savefile(const std::string &path, const void *data, size_t n)
{
    errno = 0;
    tempfilep t = opentemp(path);
    if (!t->f)
        return errno ? errno : EIO;
    fwrite(data, 1, n, t->f);
    return committemp(std::move(t));
}
