// setlimits FSIZE AS NOFILE UID SIGNALS PROG ARGS...: runs PROG with the
// file size, address space and open files limits given (0 for none), as
// user UID with its group (-1 to stay as we are) and with the signals
// listed in SIGNALS ("1,13,") ignored. The runner starts programs through
// it when they need what a spawn can't set. With PROG --alloc N it
// allocates N bytes instead, exiting 0 when it could: a probe of the limits.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

static void limit(int resource, const char *arg)
{
    rlim_t v = strtoull(arg, nullptr, 10);
    rlimit rl{v, v};
    if (v > 0 && setrlimit(resource, &rl) != 0)
        _exit(126);
}

int main(int argc, char **argv)
{
    if (argc < 7)
        return 126;
    if (long uid = strtol(argv[4], nullptr, 10); uid >= 0) {
        passwd *pw = getpwuid(uid_t(uid));
        if (!pw || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
            return 126;
    }
    limit(RLIMIT_FSIZE, argv[1]);
    limit(RLIMIT_AS, argv[2]);
    limit(RLIMIT_NOFILE, argv[3]);
    for (char *p = argv[5]; *p; p++)
        signal(int(strtol(p, &p, 10)), SIG_IGN);
    if (strcmp(argv[6], "--alloc") == 0 && argc > 7) {
        static void *volatile keep;
        keep = malloc(strtoull(argv[7], nullptr, 10));
        return keep ? 0 : 1;
    }
    execv(argv[6], argv + 6);
    return 127;
}
