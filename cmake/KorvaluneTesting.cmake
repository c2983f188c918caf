# One QtTest executable per test area. Each test class of the area registers
# itself (tests/support/testregistry.h) and becomes one CTest entry, so CTest
# can run the classes in parallel and label them one by one.

set(KV_PRIVATE_NETWORK "${CMAKE_CURRENT_LIST_DIR}/private-network.sh")
set(KV_SANITIZER_REPORTS "${CMAKE_CURRENT_LIST_DIR}/sanitizer-reports.sh")
set(KV_LSAN_SUPPRESSIONS "${CMAKE_CURRENT_LIST_DIR}/lsan-suppressions.txt")

# A build for another processor (the i386 build) runs its tests as they are
# when this host runs its programs. Otherwise (a kernel without 32-bit x86
# support) they run under the toolchain's KORVALUNE_TEST_EMULATOR, with
# cmake/emulated-exec.cpp preloaded so that the programs a test starts run
# under it too.
set(KV_TEST_EMULATOR "")
if(CMAKE_CROSSCOMPILING)
    if(NOT DEFINED KV_HOST_RUNS_TARGET_PROGRAMS)
        set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/kv-run-probe")
        file(WRITE "${probe}/probe.cpp" "int main() { return 0; }\n")
        try_compile(compiled "${probe}/build" SOURCES "${probe}/probe.cpp"
                    COPY_FILE "${probe}/probe")
        execute_process(COMMAND "${probe}/probe" RESULT_VARIABLE result
                        OUTPUT_QUIET ERROR_QUIET)
        if(compiled AND result STREQUAL "0")
            set(runs TRUE)
        else()
            set(runs FALSE)
        endif()
        set(KV_HOST_RUNS_TARGET_PROGRAMS ${runs} CACHE INTERNAL
            "Whether this host runs the programs of this build itself")
    endif()
    if(NOT KV_HOST_RUNS_TARGET_PROGRAMS)
        if(NOT KORVALUNE_TEST_EMULATOR)
            message(FATAL_ERROR "This host cannot run the programs of this build, and the "
                "toolchain names no KORVALUNE_TEST_EMULATOR to run the tests under.")
        endif()
        find_program(KV_EMULATOR_PROGRAM ${KORVALUNE_TEST_EMULATOR} REQUIRED)
        message(STATUS "This host does not run the programs of this build: "
            "the tests run under ${KV_EMULATOR_PROGRAM}")
        add_library(kvemulatedexec MODULE "${CMAKE_CURRENT_LIST_DIR}/emulated-exec.cpp")
        target_compile_definitions(kvemulatedexec PRIVATE
            KV_EMULATOR="${KV_EMULATOR_PROGRAM}"
            KV_EMULATED_EXEC_LIBRARY="$<TARGET_FILE:kvemulatedexec>")
        set(KV_TEST_EMULATOR "${KV_EMULATOR_PROGRAM}" -E "LD_PRELOAD=$<TARGET_FILE:kvemulatedexec>")
    endif()
endif()

# kv_add_test_area(<area> SOURCES <files...> [LIBRARIES <targets...>])
function(kv_add_test_area area)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    set(target tst_${area})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE kvtestsupport ${ARG_LIBRARIES})
    if(TARGET kvemulatedexec)
        add_dependencies(${target} kvemulatedexec)
    endif()
    set_target_properties(${target} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/${area}")
endfunction()

# kv_add_test_class(<area> <class> [OWN_APPDIR] [LABELS <labels...>]
#                   [TIMEOUT <seconds>] [ENVIRONMENT <NAME=value...>])
# Every test gets its own HOME, TMPDIR and XDG_RUNTIME_DIR below the build tree,
# and runs in a network namespace of its own (cmake/private-network.sh), so
# the fixed ports of the update server are free for it whatever else runs,
# and in a mount namespace of its own where the system allows one.
# ENVIRONMENT adds variables the test starts with.
# The application directory of the program is the directory of its
# executable; a class that writes there (update.ini, mirrors.ini, installed
# files) says OWN_APPDIR and runs a copy of the executable in a directory of
# its own, which is emptied (but for the executable) when the test starts.
function(kv_add_test_class area class)
    cmake_parse_arguments(ARG "OWN_APPDIR" "TIMEOUT" "LABELS;ENVIRONMENT" ${ARGN})
    set(name ${area}.${class})
    set(envroot "${CMAKE_BINARY_DIR}/testenv/${name}")
    if(ARG_OWN_APPDIR)
        set(appdir "${CMAKE_BINARY_DIR}/tests/${area}/appdir/${class}")
        add_custom_command(TARGET tst_${area} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E make_directory "${appdir}"
            COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:tst_${area}>" "${appdir}/"
            VERBATIM)
        set(program "${appdir}/tst_${area}")
    else()
        set(appdir "")
        set(program $<TARGET_FILE:tst_${area}>)
    endif()
    set(env
        "QT_QPA_PLATFORM=offscreen"
        "HOME=${envroot}/home"
        "TMPDIR=${envroot}/tmp"
        "XDG_RUNTIME_DIR=${envroot}/runtime"
        "KV_TEST_ENV_ROOT=${envroot}"
        "KV_TEST_OWN_APPDIR=${appdir}"
        ${ARG_ENVIRONMENT}
        ${KORVALUNE_TEST_ENVIRONMENT})
    if(KORVALUNE_SANITIZE)
        # The sanitizers write every report (leaks included) to a file of
        # their own, also those of the programs a test starts, and the wrapper
        # fails the test on any of them: a child's report would otherwise be
        # lost in its output or read as an ordinary exit code.
        set(reports "${CMAKE_BINARY_DIR}/sanitizer-reports/${name}")
        add_test(NAME ${name} COMMAND ${KV_SANITIZER_REPORTS} "${reports}"
                 ${KV_PRIVATE_NETWORK} ${KV_TEST_EMULATOR} ${program} ${class})
        list(APPEND env
            "ASAN_OPTIONS=log_path=${reports}/asan:detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
            "UBSAN_OPTIONS=log_path=${reports}/ubsan:print_stacktrace=1:halt_on_error=1"
            "LSAN_OPTIONS=suppressions=${KV_LSAN_SUPPRESSIONS}:print_suppressions=0")
    else()
        add_test(NAME ${name} COMMAND ${KV_PRIVATE_NETWORK} ${KV_TEST_EMULATOR} ${program} ${class})
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" LABELS "${area};${ARG_LABELS}")
    if(ARG_TIMEOUT)
        set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    else()
        set_tests_properties(${name} PROPERTIES TIMEOUT 120)
    endif()
endfunction()
