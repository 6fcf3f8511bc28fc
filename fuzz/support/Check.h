#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// Checks a promise the library makes about its result for this input. A
// broken one is printed, then the process aborts, which libFuzzer records as
// a crash with the input that caused it.
#define FUZZ_CHECK(condition, detail)                                                                            \
    do {                                                                                                         \
        if (!(condition)) {                                                                                      \
            const std::string detailText(detail);                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n%.*s\n", __FILE__, __LINE__, #condition,              \
                         static_cast<int>(detailText.size()), detailText.data());                                \
            std::abort();                                                                                        \
        }                                                                                                        \
    } while (false)
