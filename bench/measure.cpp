// Runs one program and reports what it cost: its wall time, its CPU time
// (user + system) and its peak resident memory, read from the kernel's
// accounting of that one child.
//
//   measure OUTPUT -- PROGRAM [ARGS...]
//
// PROGRAM's standard output goes to the file OUTPUT (standard error stays).
// Prints "WALL CPU PEAK" (seconds, seconds, KiB) on standard output. Exit
// status: PROGRAM's, or 2 when it could not be run.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(const struct timeval &t)
{
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

int main(int argc, char **argv)
{
    if (argc < 4 || strcmp(argv[2], "--") != 0) {
        fprintf(stderr, "usage: measure OUTPUT -- PROGRAM [ARGS...]\n");
        return 2;
    }
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        perror(argv[1]);
        return 2;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 2;
    }
    if (child == 0) {
        dup2(out, 1);
        execvp(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.4f %.4f %ld\n", wall, Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
