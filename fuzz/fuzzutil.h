// Shared by the fuzz targets: a scratch directory on tmpfs where there is one.
#pragma once
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

inline std::string scratchdir()
{
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/fuzzXXXXXX";
    return mkdtemp(tmpl.data());
}

// Empties dir of what a run wrote into it.
inline void emptydir(const std::string &dir)
{
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' || (e->d_name[1] && e->d_name[1] != '.' && e->d_name[2]))
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
}

inline bool savebytes(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}
