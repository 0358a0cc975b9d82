// peakrss OUT PROG ARGS...: runs PROG and writes its peak resident memory
// in KiB to OUT. Exits 1 when PROG fails.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int st;
    rusage ru;
    if (wait4(pid, &st, 0, &ru) < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
        return 1;
    FILE *f = fopen(argv[1], "w");
    if (!f)
        return 1;
    fprintf(f, "%ld\n", ru.ru_maxrss);
    return fclose(f) != 0;
}
