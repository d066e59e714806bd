# GoogleTest for both trees, and the two ways to register a test: ldt_add_gtest for a program
# that needs nothing but itself, ldt_add_display_test for a Windows program run against
# emulated displays.
if(CMAKE_CROSSCOMPILING)
    # The host's GoogleTest is a Linux library: build the sources for the target instead.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(LDT_GTEST_LIBS gtest gtest_main)
else()
    find_package(GTest REQUIRED)
    set(LDT_GTEST_LIBS GTest::gtest GTest::gtest_main)
endif()
include(GoogleTest)

# Every test's name starts with its layer's family (tests/README.md), so that
# ctest -R '^family\.' runs one layer.
function(ldt_check_family name)
    if(NOT name MATCHES "^(core|pty|win|e2e|fault|docs|scripts)\\.")
        message(FATAL_ERROR "test ${name}: its name must start with its layer's family")
    endif()
endfunction()

# Under Wine one case is rerun by GTEST_FILTER, which Wine hands on to the program
# (tests/README.md): a filter that picks no case of a program fails its test, not passes it.
set(LDT_NO_CASE_RAN "\\[==========\\] Running 0 tests")

# ldt_add_gtest(TARGET NAME family.test [ARGS arg...] [TIMEOUT s] [REQUIRES fixture...]
#               [LOCKS lock...])
# LOCKS, here and below: what the program shares with the other tests of its tree's one Wine
# prefix, so that ctest -j runs no two holders of a lock at once: "desktop" (it works windows,
# and focus and activation belong to the one desktop), "registry" (it writes the port settings
# the program under test reads, or reads them through the program).
# Natively every case is its own ctest test, NAME.Suite.Case; under Wine the program runs once,
# as NAME, since every start of a Win32 program costs a Wine process start.
function(ldt_add_gtest target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "NAME;TIMEOUT" "ARGS;REQUIRES;LOCKS")
    ldt_check_family("${ARG_NAME}")
    target_link_libraries(${target} PRIVATE ${LDT_GTEST_LIBS})
    if(CMAKE_CROSSCOMPILING)
        if(NOT ARG_TIMEOUT)
            set(ARG_TIMEOUT 600)
        endif()
        add_test(NAME ${ARG_NAME} COMMAND ${target} ${ARG_ARGS})
        set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
            FAIL_REGULAR_EXPRESSION "${LDT_NO_CASE_RAN}")
        if(ARG_REQUIRES)
            set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED "${ARG_REQUIRES}")
        endif()
        if(ARG_LOCKS)
            set_tests_properties(${ARG_NAME} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
        endif()
    else()
        # The same arguments, time-out and fixtures for each case, so that the function means
        # the same in both trees.
        if(NOT ARG_TIMEOUT)
            set(ARG_TIMEOUT 120)
        endif()
        set(properties TIMEOUT ${ARG_TIMEOUT})
        if(ARG_REQUIRES)
            list(APPEND properties FIXTURES_REQUIRED "${ARG_REQUIRES}")
        endif()
        gtest_discover_tests(${target} EXTRA_ARGS ${ARG_ARGS} DISCOVERY_MODE PRE_TEST
            TEST_PREFIX ${ARG_NAME}. PROPERTIES ${properties})
    endif()
endfunction()

# ldt_require_file(FIXTURE PATH WHAT BUILD_COMMAND): a file this tree takes from another tree.
# Configuring says so when it is missing, and a test named FIXTURE, which ctest runs before
# every test that requires it (and those not at all when it fails), says what is missing and
# the command that builds it.
function(ldt_require_file fixture path what command)
    set(message "${what} ${path} is missing; build it with: ${command}")
    if(NOT EXISTS "${path}")
        message(WARNING "${message} (the tests that need it fail until then)")
    endif()
    add_test(NAME ${fixture}
        COMMAND sh -c "[ -e \"$1\" ] || { echo \"$2\" >&2; exit 1; }" sh "${path}" "${message}")
    set_tests_properties(${fixture} PROPERTIES FIXTURES_SETUP ${fixture})
endfunction()

if(CMAKE_CROSSCOMPILING)
    # The display emulator is a host program: the Windows tests that talk to a display start
    # the one a native tree built.
    set(LDT_EMULATOR "${PROJECT_SOURCE_DIR}/build/native/standin/display-standin"
        CACHE FILEPATH "The native display emulator used by the Windows tests")
    ldt_require_file(win.emulator_built "${LDT_EMULATOR}" "The display emulator"
        "cmake --preset native && cmake --build --preset native --target display-standin (or configure this tree with -DLDT_EMULATOR=<native tree>/standin/display-standin)")
endif()

# ldt_add_display_test(NAME test COMMAND target [arg...] DISPLAYS "name [option...]"...
#                      [STANDINS "name [option...]"...] [NULL_MODEMS name...]
#                      [ABSENT name...] [DEVICES name=path...] [ENV VAR=value...] [TIMEOUT s]
#                      [LOCKS lock...])
# Runs a Windows program under scripts/with-displays.sh: one emulated display per DISPLAYS
# entry (its emulator options after the name), one stand-in on a null modem per STANDINS entry,
# NULL_MODEMS joining two ports each, ABSENT ports made not to exist, DEVICES ports linked to
# other devices; every name's port comes from scripts/ports.table. The program finds
# the exe under test in LDT_APP, and its displays and ports in the harness's variables.
function(ldt_add_display_test)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "" "NAME;TIMEOUT"
        "COMMAND;DISPLAYS;STANDINS;NULL_MODEMS;ABSENT;DEVICES;ENV;LOCKS")
    ldt_check_family("${ARG_NAME}")
    list(POP_FRONT ARG_COMMAND target)
    set(harness --emulator ${LDT_EMULATOR} --name ${ARG_NAME})
    foreach(kind display standin)
        string(TOUPPER ${kind}s list)
        foreach(entry IN LISTS ARG_${list})
            separate_arguments(words UNIX_COMMAND "${entry}")
            list(APPEND harness --${kind} ${words})
        endforeach()
    endforeach()
    foreach(name IN LISTS ARG_NULL_MODEMS)
        list(APPEND harness --null-modem ${name})
    endforeach()
    foreach(name IN LISTS ARG_ABSENT)
        list(APPEND harness --absent ${name})
    endforeach()
    foreach(device IN LISTS ARG_DEVICES)
        list(APPEND harness --device ${device})
    endforeach()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 180)
    endif()
    if(ARG_ENV)
        string(PREPEND ARG_ENV ";")
    endif()
    # ctest adds the cross-compiling emulator only to a bare target name: name it here.
    add_test(NAME ${ARG_NAME}
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/with-displays.sh ${harness}
                -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${target}> ${ARG_COMMAND})
    set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
        FAIL_REGULAR_EXPRESSION "${LDT_NO_CASE_RAN}" ENVIRONMENT "LDT_APP=$<TARGET_FILE:LineDisplayTest>${ARG_ENV}"
        FIXTURES_REQUIRED win.emulator_built)
    if(ARG_LOCKS)
        set_tests_properties(${ARG_NAME} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
    endif()
endfunction()
