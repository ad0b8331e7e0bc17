#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant every input must keep. Unlike assert() it stays in release builds, and the abort
// is what both libFuzzer and the replay programs report as a failing input.
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)
