# Installs the libraries, their headers, qorjs, a CMake package
# (find_package(QorJavaScript CONFIG)) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QORJS_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/QorJavaScript")

# The package records where V8 was found, for machines where it is not in a
# system folder; V8_ROOT set by the consumer still wins.
get_filename_component(QORJS_V8_INCLUDE_DIR "${V8_INCLUDE_DIR}" ABSOLUTE)
get_filename_component(QORJS_V8_LIBRARY "${V8_LIBRARY}" REALPATH)
get_filename_component(QORJS_V8_LIBRARY_DIR "${QORJS_V8_LIBRARY}" DIRECTORY)

# Installed binaries find their own libraries beside them and V8 where it was found.
set_target_properties(QorJavaScript QorLog PROPERTIES
    INSTALL_RPATH "$ORIGIN;${QORJS_V8_LIBRARY_DIR}")

install(TARGETS QorLog EXPORT QorLogTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(TARGETS QorJavaScript EXPORT QorJavaScriptTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
if(TARGET qorjs)
    set_target_properties(qorjs PROPERTIES
        INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};${QORJS_V8_LIBRARY_DIR}")
    install(TARGETS qorjs RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endif()

install(DIRECTORY include/ DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/generated/qor/javascript/Version.h"
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/qor/javascript")

install(EXPORT QorLogTargets NAMESPACE QorLog:: DESTINATION "${QORJS_CMAKE_DIR}")
install(EXPORT QorJavaScriptTargets NAMESPACE QorJavaScript:: DESTINATION "${QORJS_CMAKE_DIR}")

configure_package_config_file(cmake/QorJavaScriptConfig.cmake.in
    "${CMAKE_CURRENT_BINARY_DIR}/QorJavaScriptConfig.cmake"
    INSTALL_DESTINATION "${QORJS_CMAKE_DIR}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/QorJavaScriptConfigVersion.cmake"
    COMPATIBILITY SameMinorVersion)
install(FILES
    "${CMAKE_CURRENT_BINARY_DIR}/QorJavaScriptConfig.cmake"
    "${CMAKE_CURRENT_BINARY_DIR}/QorJavaScriptConfigVersion.cmake"
    cmake/FindV8.cmake
    DESTINATION "${QORJS_CMAKE_DIR}")

configure_file(cmake/qorjavascript.pc.in "${CMAKE_CURRENT_BINARY_DIR}/qorjavascript.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/qorjavascript.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
