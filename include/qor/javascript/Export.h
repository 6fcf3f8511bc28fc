#pragma once

// QORJS_API marks what the library exports; everything else stays hidden.
#if defined(_WIN32)
#    if defined(QORJS_BUILDING_LIBRARY)
#        define QORJS_API __declspec(dllexport)
#    else
#        define QORJS_API __declspec(dllimport)
#    endif
#else
#    define QORJS_API __attribute__((visibility("default")))
#endif
