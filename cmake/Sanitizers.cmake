# A build with AddressSanitizer and UndefinedBehaviorSanitizer: every target
# of the project is instrumented (V8 itself is not), and every program gets
# the project's sanitizer settings compiled in, so that the test programs,
# qorjs and the qorjs processes the tests start all stop at the first report
# without anyone having to set ASAN_OPTIONS by hand.
#
# UBSan's vptr check needs the RTTI of the classes it checks; V8 is built
# without it, so a build with the check cannot link against V8.

set(QORJS_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize=vptr
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
# Reports name the file and line in every configuration, Release included.
add_compile_options(${QORJS_SANITIZER_FLAGS} -g)
# GCC's flow analysis sees through the instrumentation less well and reports
# uninitialised reads that are not there (in Boost.Beast's parser, inlined
# into the transport), and frees of a local where an std::expected's string
# is released (a host function's argument refused, in the binding's
# Invoker::fill). The ordinary build keeps both warnings as errors.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized -Wno-free-nonheap-object)
endif()
add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)

add_library(qorjs_sanitizer_options OBJECT "${PROJECT_SOURCE_DIR}/sanitizers/DefaultOptions.cc")
target_compile_definitions(qorjs_sanitizer_options PRIVATE
    "QORJS_LSAN_SUPPRESSIONS=\"${PROJECT_SOURCE_DIR}/sanitizers/lsan.supp\"")
qorjs_project_warnings(qorjs_sanitizer_options)

# Called once every target exists: gives each executable the settings.
function(qorjs_sanitize_executables directory)
    get_property(targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            target_link_libraries(${target} PRIVATE qorjs_sanitizer_options)
        endif()
    endforeach()
    get_property(subdirectories DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        qorjs_sanitize_executables("${subdirectory}")
    endforeach()
endfunction()
