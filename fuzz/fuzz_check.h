#pragma once
#include <cstdio>
#include <cstdlib>

// An invariant of the code under fuzzing: a broken one is a finding, so it
// aborts like a crash and libFuzzer keeps the input.
#define KT_FUZZ_CHECK(condition)                                                                                       \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                     \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
