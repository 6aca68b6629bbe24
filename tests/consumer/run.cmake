# The installed Core and dbupdate as a site and a front end's developer meet
# them. Run as
#   cmake -DSETTINGS=<build>/tests/packaging_settings.cmake -DWORK_DIR=<scratch dir>
#         (-DBUILD_DIR=<build tree> | -DPREFIX=<installed prefix>) -P run.cmake
# With BUILD_DIR the build tree is installed into WORK_DIR/prefix first; with
# PREFIX an existing installation (the Debian packages: /usr) is checked.
# SETTINGS, written by the build, gives the sources, the version, the
# compiler and the install directories relative to the prefix.
cmake_minimum_required(VERSION 3.19)

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

# Runs a command; a failure ends the check with its output.
function(run)
    cmake_parse_arguments(R "" "WORKING_DIRECTORY;OUTPUT" "COMMAND" ${ARGN})
    if(NOT R_WORKING_DIRECTORY)
        set(R_WORKING_DIRECTORY ${WORK_DIR})
    endif()
    # What is installed must work without help from the environment.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=CMAKE_PREFIX_PATH
                            --unset=PKG_CONFIG_PATH QT_QPA_PLATFORM=offscreen ${R_COMMAND}
                    WORKING_DIRECTORY ${R_WORKING_DIRECTORY}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        list(JOIN R_COMMAND " " line)
        fail("`${line}` (in ${R_WORKING_DIRECTORY}) failed (${status}):\n${out}")
    endif()
    if(R_OUTPUT)
        set(${R_OUTPUT} "${out}" PARENT_SCOPE)
    endif()
endfunction()

# The library a program loads for soname must be the one in the prefix.
function(check_loads program soname)
    run(COMMAND ldd ${program} OUTPUT out)
    if(NOT out MATCHES "${soname} => ([^ \n]+)")
        fail("${program} does not load ${soname}:\n${out}")
    endif()
    file(REAL_PATH "${CMAKE_MATCH_1}" loaded)
    file(REAL_PATH "${libdir}/${soname}" expected)
    if(NOT loaded STREQUAL expected)
        fail("${program} loads ${CMAKE_MATCH_1}, not ${libdir}/${soname}")
    endif()
endfunction()

if(NOT DEFINED SETTINGS OR NOT DEFINED WORK_DIR)
    fail("run.cmake needs -DSETTINGS=... and -DWORK_DIR=...")
endif()
include(${SETTINGS})
foreach(var CONSUMER_DIR CORE_DIR LEGACY_DIR SQLITE3 VERSION SOVERSION
            BINDIR LIBDIR INCLUDEDIR TRANSLATIONSDIR CXX GENERATOR)
    if(NOT DEFINED ${var})
        fail("${SETTINGS} does not set ${var}")
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(DEFINED BUILD_DIR)
    set(PREFIX ${WORK_DIR}/prefix)
    run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
elseif(NOT DEFINED PREFIX)
    fail("run.cmake needs -DBUILD_DIR=... or -DPREFIX=...")
endif()
set(bindir ${PREFIX}/${BINDIR})
set(libdir ${PREFIX}/${LIBDIR})
set(includedir ${PREFIX}/${INCLUDEDIR})

# The library with its version links: the development link names the SONAME
# link, which names the file.
foreach(link libCore.so libCore.so.${SOVERSION})
    if(NOT IS_SYMLINK ${libdir}/${link})
        fail("${libdir}/${link} is not a link")
    endif()
endforeach()
file(READ_SYMLINK ${libdir}/libCore.so target)
if(NOT target STREQUAL "libCore.so.${SOVERSION}")
    fail("libCore.so points to ${target}")
endif()
file(READ_SYMLINK ${libdir}/libCore.so.${SOVERSION} target)
if(NOT target STREQUAL "libCore.so.${VERSION}" OR NOT EXISTS ${libdir}/libCore.so.${VERSION})
    fail("libCore.so.${SOVERSION} points to ${target}, not to an installed libCore.so.${VERSION}")
endif()

# The library exports no function that only the tests call: the shipped
# interface is one, whatever the build. The names are those the headers mark.
file(GLOB core_headers ${CORE_DIR}/*.h)
set(hooks)
foreach(header ${core_headers})
    file(STRINGS ${header} lines REGEX "^CORE_AUTOTEST_EXPORT ")
    foreach(line ${lines})
        if(line MATCHES "([A-Za-z_][A-Za-z0-9_]*)\\(")
            list(APPEND hooks ${CMAKE_MATCH_1})
        endif()
    endforeach()
endforeach()
if(NOT hooks)
    fail("no CORE_AUTOTEST_EXPORT declarations found in ${CORE_DIR}: the export check would check nothing")
endif()
find_program(NM nm REQUIRED)
run(COMMAND ${NM} -D -C --defined-only ${libdir}/libCore.so.${VERSION} OUTPUT symbols)
if(NOT symbols MATCHES " Profile::instance\\(\\)")
    fail("nm -D lists no Profile::instance() in ${libdir}/libCore.so.${VERSION}:\n${symbols}")
endif()
foreach(hook ${hooks})
    if(symbols MATCHES "[ :]${hook}\\(")
        fail("${libdir}/libCore.so.${VERSION} exports the test hook ${hook}")
    endif()
endforeach()

# Exactly the public headers: every header of core/ but the private ones.
file(GLOB sources RELATIVE ${CORE_DIR} ${CORE_DIR}/*.h)
list(FILTER sources EXCLUDE REGEX "_p\\.h$")
file(GLOB installed RELATIVE ${includedir} ${includedir}/*)
list(SORT sources)
list(SORT installed)
if(NOT installed STREQUAL sources)
    list(JOIN installed " " installed)
    list(JOIN sources " " sources)
    fail("${includedir} holds\n  ${installed}\nbut the public headers are\n  ${sources}")
endif()

# dbupdate from its installed place, with libtamcore from the prefix.
run(COMMAND ${bindir}/dbupdate --version OUTPUT out)
if(NOT out STREQUAL "dbupdate ${VERSION}\n")
    fail("dbupdate --version printed '${out}'")
endif()
check_loads(${bindir}/dbupdate libtamcore.so.${SOVERSION})

# A legacy data directory upgraded as a site does it, with the installed
# English catalogue copied in and named in settings.ini.
set(data ${WORK_DIR}/data)
file(MAKE_DIRECTORY ${data})
foreach(db profile data qc syslog)
    run(COMMAND sh -c "\"$0\" \"$1\" < \"$2\"" ${SQLITE3} ${data}/${db}.db ${LEGACY_DIR}/${db}.sql)
endforeach()
file(COPY ${PREFIX}/${TRANSLATIONSDIR}/dbupdate_en.qm DESTINATION ${data})
file(WRITE ${data}/settings.ini "[settings]\ntranslations=dbupdate_en\n")
run(COMMAND ${bindir}/dbupdate update.log WORKING_DIRECTORY ${data})

# The consumer project finds the package in the prefix and nowhere else.
set(build ${WORK_DIR}/build)
run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR}
            -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${PREFIX}
            -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    OUTPUT out)
file(STRINGS ${build}/CMakeCache.txt found REGEX "^WorkstationCore_DIR:")
string(REGEX REPLACE "^[^=]*=" "" found "${found}")
file(REAL_PATH "${found}" found)
file(REAL_PATH "${libdir}/cmake/WorkstationCore" expected)
if(NOT found STREQUAL expected)
    fail("the consumer found WorkstationCore in '${found}', not in ${expected}:\n${out}")
endif()
run(COMMAND ${CMAKE_COMMAND} --build ${build} -j2)

foreach(program consumer consumer_pkgconfig)
    check_loads(${build}/${program} libCore.so.${SOVERSION})
    run(COMMAND ${build}/${program} WORKING_DIRECTORY ${data} OUTPUT out)
    if(NOT out MATCHES "consumer: ok")
        fail("${program} printed '${out}'")
    endif()
endforeach()
message(STATUS "Installed Core ${VERSION} in ${PREFIX}: dbupdate, the CMake package and the pkg-config file work")
