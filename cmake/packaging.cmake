# What a front end builds against once Core is installed, and the Debian
# packages a site installs.
#
#   cmake --install build --prefix <dir>        everything below
#   cpack --config build/CPackConfig.cmake      workstation-core (dbupdate,
#                                               the libraries, the catalogues)
#                                               and workstation-core-dev
#                                               (headers, CMake package, .pc)
include(CMakePackageConfigHelpers)

set(WS_QT_MIN_VERSION 5.15)

# CMake: find_package(WorkstationCore) gives the imported target Workstation::Core.
install(EXPORT WorkstationCoreTargets
    NAMESPACE Workstation::
    FILE WorkstationCoreTargets.cmake
    DESTINATION ${WS_INSTALL_CMAKEDIR}
    COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/WorkstationCoreConfig.cmake.in
    ${CMAKE_BINARY_DIR}/WorkstationCoreConfig.cmake
    INSTALL_DESTINATION ${WS_INSTALL_CMAKEDIR})
# A new major version is where the library's interface may break.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/WorkstationCoreConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_BINARY_DIR}/WorkstationCoreConfig.cmake
    ${CMAKE_BINARY_DIR}/WorkstationCoreConfigVersion.cmake
    DESTINATION ${WS_INSTALL_CMAKEDIR}
    COMPONENT Development)

# pkg-config: paths relative to the file's own directory, so that the file
# stays right whatever prefix `cmake --install --prefix` or the package uses.
set(WS_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH WS_PC_PREFIX /${WS_PC_DIR} /)
string(REGEX REPLACE "/$" "" WS_PC_PREFIX "${WS_PC_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
    if(dir STREQUAL "LIBDIR")
        set(path ${CMAKE_INSTALL_LIBDIR})
    else()
        set(path ${WS_INSTALL_INCLUDEDIR})
    endif()
    if(IS_ABSOLUTE "${path}")
        set(WS_PC_${dir} "${path}")
    else()
        set(WS_PC_${dir} "\${prefix}/${path}")
    endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/workstation-core.pc.in
    ${CMAKE_BINARY_DIR}/workstation-core.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/workstation-core.pc
    DESTINATION ${WS_PC_DIR}
    COMPONENT Development)

# Debian packages: one for the machine that runs the software, one for the
# machine that builds a front end.
set(WS_PACKAGE_MAINTAINER "Workstation developers <workstation@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME workstation-core)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${WS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Not stripped at install: the debug package below needs the debug
# information, and CPack strips the binaries as it splits it off.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME workstation-core)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION science)
# The first line of a description is the package's summary.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Workstation core of the coagulation analyzer\n\
dbupdate, the program that brings the data directory's databases to their\n\
current schema before the front end starts, and the Core library the\n\
graphical front end loads.")
# dpkg-shlibdeps finds the Qt, C and C++ libraries the binaries load. It
# cannot see the SQLite driver, a plugin Qt loads by name.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libqt5sql5-sqlite (>= ${WS_QT_MIN_VERSION})")
# A shlibs file and the ldconfig trigger for the two libraries, so that a
# front end's own package gets its dependency on this one from
# dpkg-shlibdeps. CPack reads this switch for every package only (a
# per-component one is ignored); the development package holds no library.
# Any later 1.x package will do: the SONAME changes where the ABI breaks.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The debug information goes into workstation-core-dbgsym, as files under
# /usr/lib/debug/.build-id/ that gdb finds by the binaries' build ids; the
# binaries of workstation-core are stripped of it.
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME workstation-core-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Workstation core of the coagulation analyzer - development files\n\
Headers, the CMake package WorkstationCore (target Workstation::Core) and\n\
the pkg-config file workstation-core for building a front end against Core.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "workstation-core (= ${PROJECT_VERSION}), qtbase5-dev (>= ${WS_QT_MIN_VERSION}), qtscript5-dev (>= ${WS_QT_MIN_VERSION})")

include(CPack)
