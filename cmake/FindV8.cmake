# Finds V8 10.2 as Debian's libnode packages ship it: the headers under
# include/nodejs/deps/v8/include and the library libnode.so.108, which exports
# V8, its platform library and the inspector.
#
# Looks in V8_ROOT (a cache variable; a prefix such as / or a folder into which
# the .deb files were unpacked), then in the project's third_party/libnode,
# then in the system. Defines the imported target V8::V8 and V8_VERSION.

set(V8_ROOT "" CACHE PATH "Prefix under which V8's headers and libnode live")

set(_v8_prefixes)
if(V8_ROOT)
    list(APPEND _v8_prefixes "${V8_ROOT}" "${V8_ROOT}/usr")
endif()
get_filename_component(_v8_local "${CMAKE_CURRENT_LIST_DIR}/../third_party/libnode" ABSOLUTE)
list(APPEND _v8_prefixes "${_v8_local}/usr" "/usr")

find_path(V8_INCLUDE_DIR
    NAMES v8.h
    PATHS ${_v8_prefixes}
    PATH_SUFFIXES include/nodejs/deps/v8/include
    NO_DEFAULT_PATH)
find_library(V8_LIBRARY
    NAMES node libnode.so.108
    PATHS ${_v8_prefixes}
    PATH_SUFFIXES lib/x86_64-linux-gnu lib
    NO_DEFAULT_PATH)

if(V8_INCLUDE_DIR AND EXISTS "${V8_INCLUDE_DIR}/v8-version.h")
    file(STRINGS "${V8_INCLUDE_DIR}/v8-version.h" _v8_version_lines
        REGEX "#define V8_(MAJOR_VERSION|MINOR_VERSION|BUILD_NUMBER) ")
    foreach(_part MAJOR_VERSION MINOR_VERSION BUILD_NUMBER)
        string(REGEX REPLACE ".*#define V8_${_part} ([0-9]+).*" "\\1" _v8_${_part} "${_v8_version_lines}")
    endforeach()
    set(V8_VERSION "${_v8_MAJOR_VERSION}.${_v8_MINOR_VERSION}.${_v8_BUILD_NUMBER}")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(V8
    REQUIRED_VARS V8_LIBRARY V8_INCLUDE_DIR
    VERSION_VAR V8_VERSION)

if(V8_FOUND AND NOT TARGET V8::V8)
    add_library(V8::V8 SHARED IMPORTED)
    set_target_properties(V8::V8 PROPERTIES
        IMPORTED_LOCATION "${V8_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${V8_INCLUDE_DIR}")
endif()
mark_as_advanced(V8_INCLUDE_DIR V8_LIBRARY)
