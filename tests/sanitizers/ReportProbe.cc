// Commits the one fault its argument names, so that the sanitizer build can
// show it reports each kind and stops the program. Volatile, so that the
// optimiser cannot prove a fault away.

#include <climits>
#include <cstdio>
#include <string_view>

namespace {

volatile int sink;

// Out of line, so that no frame of main still holds the lost pointer when
// the leak check scans the stack at exit.
[[gnu::noinline]] void leak()
{
    int* volatile kept = new int[8];
    sink = kept[0] = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view fault = argc > 1 ? argv[1] : "";
    if (fault == "heap-overflow") {
        char* volatile bytes = new char[4];
        volatile int past = 4;
        bytes[past] = 1;
        delete[] bytes;
    } else if (fault == "signed-overflow") {
        volatile int largest = INT_MAX;
        sink = largest + 1;
    } else if (fault == "leak") {
        leak();
    } else {
        return 2;
    }
    std::puts("the fault went unreported");
    return 0;
}
