#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qorjs::fuzz {

// A broken promise of the library: printed, then the process aborts, which
// libFuzzer records as a crash with the input that caused it.
[[noreturn]] inline void failedCheck(const char* file, int line, const char* condition, std::string_view detail)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n%.*s\n", file, line, condition, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

}  // namespace qorjs::fuzz

// Checks a promise the library makes about its result for this input.
#define FUZZ_CHECK(condition, detail)                                               \
    do {                                                                            \
        if (!(condition))                                                           \
            ::qorjs::fuzz::failedCheck(__FILE__, __LINE__, #condition, (detail));  \
    } while (false)
