/* Runs a program and writes its peak resident memory in KiB to REPORT.
 *
 *   bench-peak REPORT PROGRAM [ARGUMENT...]
 *
 * A process's peak counts the memory of the process that forked it, up to its
 * exec; started from this small program rather than from the benchmark, the
 * figure is the program's own.
 */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: bench-peak REPORT PROGRAM [ARGUMENT...]\n");
        return 64;
    }
    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child)
        return 1;
    FILE* report = fopen(argv[1], "w");
    if (!report || fprintf(report, "%ld\n", usage.ru_maxrss) < 0 || fclose(report) != 0)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
