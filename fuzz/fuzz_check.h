// What the fuzz targets share: a check that stops the run with a message
// when a property of the program does not hold (libFuzzer then keeps the
// input as a crash).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                     \
        }                                                                                \
    } while (0)
