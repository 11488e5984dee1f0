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

/* The pipe's reader: the destinations, the prefix of every line, and the
 * start of a line that a read cut off, kept for the next read. */
struct Capture
{
    int console;
    int file;
    char prefix[32];
    size_t prefixLength;
    char* carry;
    size_t carried;
    size_t carryCapacity;
};

/* One write() per destination: prefix, carried start, the line and its end. */
static int writeLine(struct Capture* capture, const char* line, size_t length, const char* end)
{
    const struct iovec parts[4] = {{capture->prefix, capture->prefixLength},
                                   {capture->carry, capture->carried},
                                   {(void*)line, length},
                                   {(void*)end, strlen(end)}};
    capture->carried = 0;
    return writev(capture->console, parts, 4) < 0 || writev(capture->file, parts, 4) < 0;
}

/* Writes the lines that one read completed and carries the rest; -1 when
 * memory ran out, else 1 when a write failed. */
static int takeRead(struct Capture* capture, const char* begin, const char* end)
{
    int failed = 0;
    while (begin < end) {
        const char* lineEnd = memchr(begin, '\n', (size_t)(end - begin));
        if (!lineEnd) {
            const size_t rest = (size_t)(end - begin);
            if (capture->carried + rest > capture->carryCapacity) {
                capture->carryCapacity = (capture->carried + rest) * 2;
                capture->carry = realloc(capture->carry, capture->carryCapacity);
                if (!capture->carry)
                    return -1;
            }
            memcpy(capture->carry + capture->carried, begin, rest);
            capture->carried += rest;
            break;
        }
        failed |= writeLine(capture, begin, (size_t)(lineEnd + 1 - begin), "");
        begin = lineEnd + 1;
    }
    return failed;
}

/* The program with its standard output and error on the pipe's write end. */
static pid_t startChild(char* argv[], const int channel[2])
{
    const pid_t child = fork();
    if (child == 0) {
        dup2(channel[1], STDOUT_FILENO);
        dup2(channel[1], STDERR_FILENO);
        execv(argv[0], argv);
        _exit(127);
    }
    return child;
}

int main(int argc, char* argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: bench-floor CONSOLE LOGFILE PROGRAM [ARGUMENT...]\n");
        return 64;
    }
    struct Capture capture = {0};
    capture.console = open(argv[1], O_WRONLY | O_CLOEXEC);
    capture.file = open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    int channel[2];
    if (capture.console < 0 || capture.file < 0 || pipe2(channel, O_CLOEXEC) != 0) {
        perror("bench-floor");
        return 1;
    }
    const pid_t child = startChild(argv + 3, channel);
    if (child < 0)
        return 1;
    close(channel[1]);

    enum
    {
        ReadSize = 65536
    };
    capture.prefixLength =
        (size_t)snprintf(capture.prefix, sizeof capture.prefix, "[ %d ] ", (int)child);
    char* input = malloc(ReadSize);
    capture.carryCapacity = ReadSize;
    capture.carry = malloc(capture.carryCapacity);
    if (!input || !capture.carry)
        return 1;
    int status = 0;
    for (;;) {
        const ssize_t count = read(channel[0], input, ReadSize);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        const int taken = takeRead(&capture, input, input + count);
        if (taken < 0)
            return 1;
        status |= taken;
    }
    if (capture.carried > 0)
        status |= writeLine(&capture, "", 0, "\n");
    int childStatus = 0;
    waitpid(child, &childStatus, 0);
    free(capture.carry);
    free(input);
    return status != 0 || !WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0;
}
