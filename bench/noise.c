/* A chatty child for the soak and a board's figures: writes lines of 100 bytes
 * of pseudo-random hex digits (which compress about as well as real logs do)
 * at about RATE bytes a second, until it is stopped. MARKER is not read: it
 * tells a run's children apart in the process list.
 *
 *   bench-noise RATE [MARKER]
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3 || atol(argv[1]) <= 0) {
        fprintf(stderr, "usage: bench-noise RATE [MARKER]\n");
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
