/* Trees deeper than any path may name, for the deep-tree tests: makes them
 * and compares them through open folders only (paths there exceed PATH_MAX,
 * where diff -r and rsync stop). At most two folders of each tree are open
 * at once: the walk climbs back through "..".
 *
 *   deeptree make DIR DEPTH   a chain DIR/d/d/... DEPTH folders deep, a file
 *                             every 1000 levels and one at the bottom
 *   deeptree compare A B      the same names, kinds, modes and contents in
 *                             both; prints "folders N files M shared K"
 *                             (K: files of B that are A's file itself)
 *   deeptree remove DIR       removes DIR and everything in it, in time
 *                             linear in its depth (rm -rf is not) */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(const char* what, long depth)
{
    fprintf(stderr, "deeptree: %s (depth %ld)\n", what, depth);
    exit(1);
}

static int openFolder(int at, const char* name)
{
    return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

static void writeFile(int at, const char* name, const char* text)
{
    int fd = openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text)) fail("cannot write a file", 0);
    close(fd);
}

static int make(const char* top, long depth)
{
    int at = openFolder(AT_FDCWD, top);
    if (at < 0) fail("cannot open the top folder", 0);
    for (long level = 1; level <= depth; ++level) {
        if (mkdirat(at, "d", 0755) != 0) fail("mkdirat", level);
        int next = openFolder(at, "d");
        if (next < 0) fail("openat", level);
        close(at);
        at = next;
        if (level % 1000 == 0) {
            char text[64];
            snprintf(text, sizeof text, "level %ld\n", level);
            writeFile(at, "f", text);
        }
    }
    writeFile(at, "bottom", "the bottom of the tree\n");
    close(at);
    return 0;
}

/* The sorted names of an open folder, "." and ".." left out. */
struct Names {
    char** names;
    size_t count;
};

static int byName(const void* a, const void* b)
{
    return strcmp(*(char* const*)a, *(char* const*)b);
}

static struct Names listNames(int fd, long depth)
{
    struct Names list = {NULL, 0};
    size_t capacity = 0;
    int copy = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = copy >= 0 ? fdopendir(copy) : NULL;
    if (dir == NULL) fail("cannot list a folder", depth);
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (list.count == capacity) {
            capacity = capacity ? capacity * 2 : 8;
            list.names = realloc(list.names, capacity * sizeof *list.names);
            if (list.names == NULL) fail("out of memory", depth);
        }
        list.names[list.count++] = strdup(entry->d_name);
    }
    closedir(dir);
    qsort(list.names, list.count, sizeof *list.names, byName);
    return list;
}

static void freeNames(struct Names* list)
{
    for (size_t k = 0; k < list->count; ++k) free(list->names[k]);
    free(list->names);
}

static void sameContent(int a, int b, const char* name, long depth)
{
    int fa = openat(a, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int fb = openat(b, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fa < 0 || fb < 0) fail("cannot open a file", depth);
    char ba[65536], bb[65536];
    for (;;) {
        ssize_t na = read(fa, ba, sizeof ba);
        ssize_t nb = read(fb, bb, sizeof bb);
        if (na != nb || na < 0 || memcmp(ba, bb, (size_t)na) != 0) {
            fprintf(stderr, "deeptree: %s differs\n", name);
            fail("content differs", depth);
        }
        if (na == 0) break;
    }
    close(fa);
    close(fb);
}

/* One level of the comparison: the subfolders still to compare. */
struct Level {
    struct Names folders;
    size_t next;
};

static int compare(const char* topA, const char* topB)
{
    int a = openFolder(AT_FDCWD, topA), b = openFolder(AT_FDCWD, topB);
    if (a < 0 || b < 0) fail("cannot open the top folders", 0);
    struct Level* stack = NULL;
    size_t depth = 0, capacity = 0;
    long folders = 0, files = 0, shared = 0;
    for (;;) {
        /* Compare the folder a/b itself, then go into its first subfolder. */
        ++folders;
        struct Names na = listNames(a, (long)depth), nb = listNames(b, (long)depth);
        if (na.count != nb.count) fail("a folder holds other names", (long)depth);
        struct Names sub = {malloc((na.count + 1) * sizeof(char*)), 0};
        for (size_t k = 0; k < na.count; ++k) {
            if (strcmp(na.names[k], nb.names[k]) != 0) fail("a folder holds other names", (long)depth);
            struct stat sa, sb;
            if (fstatat(a, na.names[k], &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
                fstatat(b, nb.names[k], &sb, AT_SYMLINK_NOFOLLOW) != 0)
                fail("fstatat", (long)depth);
            if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT) || (sa.st_mode & 07777) != (sb.st_mode & 07777))
                fail("an entry of another kind or mode", (long)depth);
            if (S_ISDIR(sa.st_mode)) {
                sub.names[sub.count++] = strdup(na.names[k]);
            } else if (S_ISREG(sa.st_mode)) {
                ++files;
                if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) ++shared;
                sameContent(a, b, na.names[k], (long)depth);
            }
        }
        freeNames(&na);
        freeNames(&nb);
        if (depth == capacity) {
            capacity = capacity ? capacity * 2 : 64;
            stack = realloc(stack, capacity * sizeof *stack);
            if (stack == NULL) fail("out of memory", (long)depth);
        }
        stack[depth].folders = sub;
        stack[depth].next = 0;
        ++depth;
        /* The next folder to compare: down where there is one, else up. */
        for (;;) {
            struct Level* level = &stack[depth - 1];
            if (level->next < level->folders.count) {
                const char* name = level->folders.names[level->next++];
                int da = openFolder(a, name), db = openFolder(b, name);
                if (da < 0 || db < 0) fail("cannot open a subfolder", (long)depth);
                close(a);
                close(b);
                a = da;
                b = db;
                break;
            }
            freeNames(&level->folders);
            if (--depth == 0) {
                close(a);
                close(b);
                free(stack);
                printf("folders %ld files %ld shared %ld\n", folders, files, shared);
                return 0;
            }
            int ua = openFolder(a, ".."), ub = openFolder(b, "..");
            if (ua < 0 || ub < 0) fail("cannot climb back", (long)depth);
            close(a);
            close(b);
            a = ua;
            b = ub;
        }
    }
}

/* Goes down to a folder without subfolders, empties it, climbs and removes
 * it; until the top itself is removed. */
static int removeTree(const char* top)
{
    int at = openFolder(AT_FDCWD, top);
    if (at < 0) fail("cannot open the top folder", 0);
    long depth = 0;
    for (;;) {
        struct Names names = listNames(at, depth);
        const char* down = NULL;
        for (size_t k = 0; k < names.count && down == NULL; ++k) {
            if (unlinkat(at, names.names[k], 0) == 0) continue;
            if (unlinkat(at, names.names[k], AT_REMOVEDIR) == 0) continue;
            down = names.names[k];
        }
        if (down != NULL) {
            int next = openFolder(at, down);
            freeNames(&names);
            if (next < 0) fail("cannot open a subfolder", depth);
            close(at);
            at = next;
            ++depth;
            continue;
        }
        freeNames(&names);
        if (depth == 0) break;
        int up = openFolder(at, "..");
        if (up < 0) fail("cannot climb back", depth);
        close(at);
        at = up;
        --depth;
    }
    close(at);
    return rmdir(top) == 0 ? 0 : fail("rmdir", 0);
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "remove") == 0) return removeTree(argv[2]);
    if (argc == 4 && strcmp(argv[1], "make") == 0) return make(argv[2], atol(argv[3]));
    if (argc == 4 && strcmp(argv[1], "compare") == 0) return compare(argv[2], argv[3]);
    fprintf(stderr, "usage: deeptree make DIR DEPTH | compare A B | remove DIR\n");
    return 2;
}
