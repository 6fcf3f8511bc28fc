// The sanitizer runtimes ask the program for its default settings; the
// environment (ASAN_OPTIONS and its kin) can still override each one.
//
// Every report ends the process with SIGABRT: a test program then fails
// under ctest, and a qorjs process started by a test ends by a signal, which
// no test takes for an expected exit status.

extern "C" {

__attribute__((visibility("default"))) const char* __asan_default_options()
{
    return "halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:"
           "check_initialization_order=1:detect_stack_use_after_return=1";
}

__attribute__((visibility("default"))) const char* __ubsan_default_options()
{
    return "halt_on_error=1:abort_on_error=1:print_stacktrace=1";
}

__attribute__((visibility("default"))) const char* __lsan_default_options()
{
    return "suppressions=" QORJS_LSAN_SUPPRESSIONS;
}

}  // extern "C"
