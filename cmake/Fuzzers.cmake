# The libFuzzer build: clang instruments every target of the project for
# coverage and with AddressSanitizer and UndefinedBehaviorSanitizer; the
# fuzzers themselves are in fuzz/.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QORJS_BUILD_FUZZERS needs clang (libFuzzer): configure with CMAKE_CXX_COMPILER=clang++-14")
endif()

set(QORJS_SANITIZE ON CACHE BOOL "" FORCE)
include(cmake/Sanitizers.cmake)
add_compile_options(-fsanitize=fuzzer-no-link)

# clang 14 cannot use libstdc++ 12's std::expected (see fuzz/compat/expected).
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS "-std=c++2b")
check_cxx_source_compiles("#include <expected>
    int main() { std::expected<int, int> value = 1; return *value - 1; }" QORJS_HAVE_STD_EXPECTED)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT QORJS_HAVE_STD_EXPECTED)
    include_directories(SYSTEM BEFORE "${PROJECT_SOURCE_DIR}/fuzz/compat")
endif()
