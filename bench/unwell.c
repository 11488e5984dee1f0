/* The unwell children of the soak: one that stops working without ending,
 * and one that leaks memory.
 *
 *   bench-unwell hang SECONDS    sends WATCHDOG=1 to $NOTIFY_SOCKET five times a
 *                                second for SECONDS, then stays without a word
 *   bench-unwell leak MIB        grows by MIB MiB a second, every page touched
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

static const struct timespec tick = {0, 200000000};

static int hang(double seconds)
{
    const char* name = getenv("NOTIFY_SOCKET");
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (!name || !*name || strlen(name) >= sizeof address.sun_path)
        return 65;
    memcpy(address.sun_path, name, strlen(name));
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    const socklen_t length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + strlen(name));
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    for (double done = 0; done < seconds; done += 0.2) {
        sendto(fd, "WATCHDOG=1", 10, 0, (const struct sockaddr*)&address, length);
        nanosleep(&tick, NULL);
    }
    for (;;)
        nanosleep(&tick, NULL);
}

static void leak(long mib)
{
    /* A fifth of the rate each tick; never freed, as a leak is. */
    const size_t step = (size_t)mib * 1024 * 1024 / 5;
    for (;;) {
        char* block = malloc(step);
        for (size_t page = 0; block && page < step; page += 4096)
            block[page] = 1;
        nanosleep(&tick, NULL);
    }
}

int main(int argc, char* argv[])
{
    if (argc == 3 && strcmp(argv[1], "hang") == 0 && atof(argv[2]) >= 0)
        return hang(atof(argv[2]));
    if (argc == 3 && strcmp(argv[1], "leak") == 0 && atol(argv[2]) > 0)
        leak(atol(argv[2]));
    fprintf(stderr, "usage: bench-unwell hang SECONDS | leak MIB\n");
    return 64;
}
