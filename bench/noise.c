/* A chatty child for the soak: writes lines of 100 bytes of pseudo-random hex
 * digits (which compress about as well as real logs do) at about RATE bytes a
 * second, until it is stopped.
 *
 *   bench-noise RATE
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char* argv[])
{
    if (argc != 2 || atol(argv[1]) <= 0) {
        fprintf(stderr, "usage: bench-noise RATE\n");
        return 64;
    }
    const long rate = atol(argv[1]);
    /* Twenty times a second, a twentieth of the rate. */
    const long linesPerTick = rate / 20 / 100 > 0 ? rate / 20 / 100 : 1;
    unsigned long state = 12345;
    const struct timespec tick = {0, 50000000};
    for (unsigned long line = 0;; ++line) {
        for (long i = 0; i < linesPerTick; ++i) {
            printf("%09lu ", line);
            for (int digit = 0; digit < 89; ++digit) {
                state = state * 6364136223846793005UL + 1442695040888963407UL;
                putchar("0123456789abcdef"[(state >> 60) & 15]);
            }
            putchar('\n');
        }
        fflush(stdout);
        nanosleep(&tick, NULL);
    }
}
