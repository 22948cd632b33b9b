# Build helpers shared by every folder.

# The version, set once in project(): the module's version information, the installer script and
# the example page of the package all take it from here, in the forms each of them writes.
set(QM_VERSION_DOTTED ${PROJECT_VERSION})
string(REPLACE "." "," QM_VERSION_COMMAS "${PROJECT_VERSION}")
string(REPLACE "." ", " QM_VERSION_SPACED "${PROJECT_VERSION}")

# The floor plan (README.md, "Which folder may include which"): a view of the tree for each folder
# in QM_FLOOR_VIEWS/<folder>, holding only what that folder may include.
include(${CMAKE_CURRENT_LIST_DIR}/FloorPlan.cmake)
set(QM_FLOOR_VIEWS ${CMAKE_BINARY_DIR}/floors)
qm_floor_views(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR} ${QM_FLOOR_VIEWS})
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/README.md)

# qm_def_from_table(table macro pattern export library header out): writes the .def file of a DLL
# whose functions are rows of a table (a .inc file of MACRO(...) rows), in the table's order. Each
# row must match PATTERN on its first line, with the function's name in its first group and, for a
# DLL that exports by ordinal, the ordinal in its second; EXPORT is the line's form, with @NAME@
# and @ORDINAL@ in it. A row that does not match stops the configuration. The file is rewritten
# only when it changes, so that the DLL links again only then.
function(qm_def_from_table table macro pattern export library header out)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
    file(STRINGS ${table} rows REGEX "^${macro}\\(")
    file(RELATIVE_PATH table_path ${PROJECT_SOURCE_DIR} ${table})
    set(def "; ${library}: ${header}\n; Written by the build from ${table_path}.\n")
    string(APPEND def "LIBRARY ${library}\nEXPORTS\n")
    foreach(row IN LISTS rows)
        if(NOT row MATCHES "${pattern}")
            message(FATAL_ERROR "${table_path}: the first line of a row does not name its export: ${row}")
        endif()
        string(REPLACE "@NAME@" "${CMAKE_MATCH_1}" line "${export}")
        string(REPLACE "@ORDINAL@" "${CMAKE_MATCH_2}" line "${line}")
        string(APPEND def "    ${line}\n")
    endforeach()
    file(WRITE ${out}.new "${def}")
    file(COPY_FILE ${out}.new ${out} ONLY_IF_DIFFERENT)
endfunction()

# qm_floor_includes(target): the target's include folder is the view of the folder it is defined
# in (the root itself for a folder that may include anything), so that an include the floor plan
# does not allow is not found. Includes are written from the root ("platform/Raii.h"), as in every
# view. Each target gets its own view, and none passes one on to the targets that link it.
function(qm_floor_includes target)
    get_target_property(dir ${target} SOURCE_DIR)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${dir})
    string(REGEX REPLACE "/.*" "" folder "${folder}")
    if(NOT folder IN_LIST QM_FLOORS)
        message(FATAL_ERROR "${folder}/ holds a target (${target}) but has no row in the floor plan "
                            "(README.md, \"Which folder may include which\")")
    elseif(QM_FLOOR_${folder} STREQUAL "*")
        target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    else()
        target_include_directories(${target} PRIVATE ${QM_FLOOR_VIEWS}/${folder})
    endif()
endfunction()

# Warnings are errors in the project's own code (not in third-party code built beside it), which
# sees what its folder may include.
function(qm_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    qm_floor_includes(${target})
endfunction()

if(QM_FUZZ)
    # Every library of the fuzz tree is instrumented for coverage and checked by the sanitizers.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined -g)
    add_link_options(-fsanitize=address,undefined)
elseif(QM_SANITIZE AND NOT WIN32)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
    # A Wine prefix has no mingw runtime DLLs: link the runtimes into every binary.
    add_link_options(-static-libgcc -static-libstdc++)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601)
endif()

if(WIN32)
    # OpenSSL for Windows: Debian's source package cross-built as a static libcrypto for this
    # architecture (scripts/openssl-windows.sh makes it and names it here).
    set(QM_OPENSSL_WIN "${CMAKE_BINARY_DIR}/../openssl-win/${CMAKE_SYSTEM_PROCESSOR}" CACHE PATH
        "OpenSSL built for this Windows architecture: include/ and lib/libcrypto.a")
    if(NOT EXISTS "${QM_OPENSSL_WIN}/lib/libcrypto.a")
        message(FATAL_ERROR "no OpenSSL for Windows in ${QM_OPENSSL_WIN}: ./run builds it")
    endif()
    add_library(OpenSSL::Crypto STATIC IMPORTED)
    set_target_properties(OpenSSL::Crypto PROPERTIES
        IMPORTED_LOCATION "${QM_OPENSSL_WIN}/lib/libcrypto.a"
        INTERFACE_INCLUDE_DIRECTORIES "${QM_OPENSSL_WIN}/include"
        INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;user32;advapi32")
endif()

# qm_windows_binary(target "description"): a DLL or program that ships beside Quillmark.dll. The C,
# C++ and threads runtimes are linked in (a user's machine has no mingw runtime DLLs), it carries
# the project's version information, and it is written to QM_BIN_DIR under its own name.
function(qm_windows_binary target description)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
        set(QM_RC_TYPE VFT_DLL)
        set(QM_RC_FILE ${target}.dll)
    else()
        set(QM_RC_TYPE VFT_APP)
        set(QM_RC_FILE ${target}.exe)
    endif()
    set(QM_RC_NAME ${target})
    set(QM_RC_DESCRIPTION "${description}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/FileVersion.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        RUNTIME_OUTPUT_DIRECTORY ${QM_BIN_DIR})
    target_link_options(${target} PRIVATE -static)
endfunction()

# CLI11, the tools' command-line parser: Debian's header-only libcli11-dev. A mingw compiler must
# not search /usr/include (glibc's headers would stand in for mingw's), so a Windows tree reaches
# CLI11 through a folder of its own that holds nothing else.
find_path(QM_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

# qm_command_line_tool(target): a tool that reads its command line by the conventions of
# platform/command_line.h and says which version of the project it belongs to.
function(qm_command_line_tool target)
    if(NOT QM_CLI11_INCLUDE)
        message(FATAL_ERROR "CLI11 is missing: install libcli11-dev (./run setup does)")
    endif()
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/command_line.cpp)
    target_compile_definitions(${target} PRIVATE QM_VERSION_DOTTED="${QM_VERSION_DOTTED}")
    if(WIN32)
        set(cli11 ${CMAKE_BINARY_DIR}/cli11-include)
        file(MAKE_DIRECTORY ${cli11})
        file(CREATE_LINK ${QM_CLI11_INCLUDE}/CLI ${cli11}/CLI SYMBOLIC)
        target_include_directories(${target} SYSTEM PRIVATE ${cli11})
    endif()
endfunction()

# Test programs under Wine are fully static (no mingw runtime DLL to find).
function(qm_static_exe target)
    if(WIN32)
        target_link_options(${target} PRIVATE -static)
    endif()
endfunction()

# GoogleTest built from Debian's sources with the current toolchain (once per tree).
macro(qm_use_googletest)
    if(NOT TARGET gtest)
        set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
        add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    endif()
endmacro()

# Wine does not always pass a crash on as the program's exit status (a crashed test program has
# been seen to end with 0): under Wine a GoogleTest run passes only when it reached its summary,
# and fails on any failure or crash report whatever its status.
function(qm_gtest_verdict test)
    if(WIN32)
        set_tests_properties(${test} PROPERTIES
            PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ test"
            FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]|Unhandled exception|Unhandled page fault")
    endif()
endfunction()

# qm_gtest(NAME name SOURCES ... LIBS ... [ENV var=value ...] [LABELS ...])
# A GoogleTest program and its CTest entry; under mingw CTest runs it through Wine.
function(qm_gtest)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
    qm_use_googletest()
    add_executable(${T_NAME} ${T_SOURCES})
    qm_warnings(${T_NAME})
    qm_static_exe(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gmock gtest_main)
    if(WIN32)
        target_sources(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/preload_libraries.cpp)
    endif()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    qm_gtest_verdict(${T_NAME})
    if(T_ENV)
        set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
    endif()
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(T_TIMEOUT)
        set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    endif()
endfunction()
