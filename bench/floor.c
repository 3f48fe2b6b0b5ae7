/* The floor of a run's cost: creates the same 131 files as agreement_sweep, with the same
 * sizes, each with one open, one write and one close, and does nothing else.
 * Usage: floor SIZE... (131 sizes in the order reference, pass files 1 .. 128, tov, sl),
 * run in a folder that holds data/1. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char bytes[1 << 16]; /* larger than any file of the run */

static int create(const char *path, const char *size)
{
    long n = strtol(size, NULL, 10);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 || n < 0 || n > (long)sizeof bytes || write(fd, bytes, (size_t)n) != n) {
        perror(path);
        return 1;
    }
    return close(fd) != 0;
}

int main(int argc, char **argv)
{
    char path[32];
    int n;
    if (argc != 132) {
        fputs("usage: floor SIZE x 131\n", stderr);
        return 2;
    }
    for (n = 0; n < (int)sizeof bytes; ++n) {
        bytes[n] = (n % 9 == 8) ? '\n' : '5';
    }
    if (create("data/signal_1.dat", argv[1]) != 0) {
        return 1;
    }
    for (n = 1; n <= 128; ++n) {
        snprintf(path, sizeof path, "data/1/sign_%d", n);
        if (create(path, argv[1 + n]) != 0) {
            return 1;
        }
    }
    return create("data/tov.dat", argv[130]) || create("data/sl.dat", argv[131]);
}
