/* Trees deeper than PATH_MAX allows to name, for the deep-tree tests:
 * built and checked relative to open folders, one level at a time.
 *
 *   deeptree make DIR DEPTH   DIR/d/d/... DEPTH folders deep, a file f in each
 *   deeptree depth DIR        prints how many folders d deep DIR goes */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int makeTree(int at, long depth)
{
    for (long level = 0; level < depth; ++level) {
        int file = openat(at, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (file < 0 || write(file, "x", 1) != 1 || close(file) != 0) return perror("f"), 1;
        if (mkdirat(at, "d", 0755) != 0) return perror("mkdirat"), 1;
        int next = openat(at, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return perror("openat"), 1;
        close(at);
        at = next;
    }
    close(at);
    return 0;
}

static long treeDepth(int at)
{
    long depth = 0;
    for (;;) {
        int next = openat(at, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(at);
        if (next < 0) return depth;
        at = next;
        ++depth;
    }
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: deeptree make DIR DEPTH | deeptree depth DIR\n");
        return 2;
    }
    int top = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return perror(argv[2]), 1;
    if (strcmp(argv[1], "make") == 0 && argc == 4) return makeTree(top, atol(argv[3]));
    if (strcmp(argv[1], "depth") == 0) {
        printf("%ld\n", treeDepth(top));
        return 0;
    }
    close(top);
    return 2;
}
