/* A chatty child for the log capture benchmark: writes COUNT lines of LENGTH
 * bytes (the line end included) to standard output through stdio, as a program
 * that logs a lot would. Line i is "L<i, 9 digits> " followed by letters, so
 * that a reader can tell every line and its place.
 *
 *   bench-chatty COUNT LENGTH
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench-chatty COUNT LENGTH\n");
        return 64;
    }
    const long count = atol(argv[1]);
    const long length = atol(argv[2]);
    if (count < 0 || length < 12 || length > 1000000) {
        fprintf(stderr, "bench-chatty: LENGTH must be 12 to 1000000\n");
        return 64;
    }
    char* line = malloc((size_t)length + 1);
    if (!line)
        return 1;
    for (long i = 0; i < length - 1; ++i)
        line[i] = (char)('a' + i % 26);
    line[length - 1] = '\n';
    for (long i = 0; i < count; ++i) {
        char number[16];
        snprintf(number, sizeof number, "L%09ld", i % 1000000000L);
        memcpy(line, number, 10);
        line[10] = ' ';
        if (fwrite(line, 1, (size_t)length, stdout) != (size_t)length)
            return 1;
    }
    free(line);
    return fflush(stdout) == 0 ? 0 : 1;
}
