/* Another user's changes during a run, for the race tests: swaps two names
 * of a folder in one step (renameat2 with RENAME_EXCHANGE), over and over,
 * until it is killed. Each name may be a folder, a file or a symbolic link.
 *
 *   swapper A B */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: swapper A B\n");
        return 2;
    }
    for (;;) {
        if (syscall(SYS_renameat2, AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
            perror("renameat2");
            return 1;
        }
    }
}
