/* The floor of log capture: runs a program with its standard output and error
 * on a pipe and, for every line it reads, writes "[ <pid> ] <line>\n" twice with
 * one call each (writev, so that the prefix needs no copy): to the console and
 * to the log file (opened for appending).
 * Nothing less can show every line on a console and keep it in a file.
 *
 *   bench-floor CONSOLE LOGFILE PROGRAM [ARGUMENT...]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: bench-floor CONSOLE LOGFILE PROGRAM [ARGUMENT...]\n");
        return 64;
    }
    const int console = open(argv[1], O_WRONLY | O_CLOEXEC);
    const int file = open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    int channel[2];
    if (console < 0 || file < 0 || pipe2(channel, O_CLOEXEC) != 0) {
        perror("bench-floor");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        dup2(channel[1], STDOUT_FILENO);
        dup2(channel[1], STDERR_FILENO);
        execv(argv[3], argv + 3);
        _exit(127);
    }
    close(channel[1]);

    enum
    {
        ReadSize = 65536
    };
    char prefix[32];
    const int prefixLength = snprintf(prefix, sizeof prefix, "[ %d ] ", (int)child);
    char* input = malloc(ReadSize);
    /* The start of a line that a read cut off, kept for the next read. */
    size_t carryCapacity = ReadSize;
    size_t carried = 0;
    char* carry = malloc(carryCapacity);
    if (!input || !carry)
        return 1;
    int status = 0;
    for (;;) {
        const ssize_t count = read(channel[0], input, ReadSize);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        const char* begin = input;
        const char* const end = input + count;
        while (begin < end) {
            const char* lineEnd = memchr(begin, '\n', (size_t)(end - begin));
            if (!lineEnd) {
                const size_t rest = (size_t)(end - begin);
                if (carried + rest > carryCapacity) {
                    carryCapacity = (carried + rest) * 2;
                    carry = realloc(carry, carryCapacity);
                    if (!carry)
                        return 1;
                }
                memcpy(carry + carried, begin, rest);
                carried += rest;
                break;
            }
            /* One write() per destination: prefix, carried start, the line. */
            const struct iovec parts[3] = {{prefix, (size_t)prefixLength},
                                           {carry, carried},
                                           {(void*)begin, (size_t)(lineEnd + 1 - begin)}};
            if (writev(console, parts, 3) < 0 || writev(file, parts, 3) < 0)
                status = 1;
            carried = 0;
            begin = lineEnd + 1;
        }
    }
    if (carried > 0) {
        const struct iovec parts[3] = {
            {prefix, (size_t)prefixLength}, {carry, carried}, {(void*)"\n", 1}};
        if (writev(console, parts, 3) < 0 || writev(file, parts, 3) < 0)
            status = 1;
    }
    int childStatus = 0;
    waitpid(child, &childStatus, 0);
    free(carry);
    free(input);
    return status != 0 || !WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0;
}
