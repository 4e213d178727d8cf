#pragma once
// A broken property aborts, so libFuzzer keeps the input, and says which.

#include <cstdio>
#include <cstdlib>

inline void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}
