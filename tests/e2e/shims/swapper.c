/* Another user's changes during a run, for the race tests: swaps two names
 * of a folder in one step (renameat2 with RENAME_EXCHANGE), over and over,
 * until it is killed. Each name may be a folder, a file or a symbolic link.
 * With --once it swaps them one time and ends (the test chooses the moment).
 *
 *   swapper [--once] A B */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

int main(int argc, char** argv)
{
    int once = argc == 4 && strcmp(argv[1], "--once") == 0;
    if (argc != 3 && !once) {
        fprintf(stderr, "usage: swapper [--once] A B\n");
        return 2;
    }
    if (once) argv++;
    for (;;) {
        if (syscall(SYS_renameat2, AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
            perror("renameat2");
            return 1;
        }
        if (once) return 0;
    }
}
