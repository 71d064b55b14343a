#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the process like a sanitizer finding, so that libFuzzer keeps the
// input and a replaying test fails with the condition named.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
