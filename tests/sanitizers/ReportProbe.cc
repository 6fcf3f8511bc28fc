// Commits the one fault its argument names, so that the sanitizer build can
// show it reports each kind and stops the program.

#include <climits>
#include <cstdio>
#include <string_view>

namespace {

volatile int sink;

int heapOverflow()
{
    char* volatile bytes = new char[4];
    volatile int past = 4;
    bytes[past] = 1;
    const int read = bytes[0];
    delete[] bytes;
    return read;
}

int signedOverflow()
{
    volatile int largest = INT_MAX;
    return largest + 1;
}

int leak()
{
    int* kept = new int[8];
    kept[0] = 1;
    sink = kept[0];
    kept = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view fault = argc > 1 ? argv[1] : "";
    if (fault == "heap-overflow")
        sink = heapOverflow();
    else if (fault == "signed-overflow")
        sink = signedOverflow();
    else if (fault == "leak")
        sink = leak();
    else
        return 2;
    std::puts("the fault went unreported");
    return 0;
}
