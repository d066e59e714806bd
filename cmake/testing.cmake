# GoogleTest for both trees, and one way to register a test program.
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

# Natively every case is its own ctest test; under Wine each program runs once, since every
# start of a Win32 program costs a Wine process start.
function(ldt_add_gtest target)
    target_link_libraries(${target} PRIVATE ${LDT_GTEST_LIBS})
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${target} COMMAND ${target})
        set_tests_properties(${target} PROPERTIES TIMEOUT 600)
    else()
        gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
    endif()
endfunction()

# The display emulator is a host program: the Win32 tests that talk to a display start the one
# the native tree built.
set(LDT_EMULATOR "${PROJECT_SOURCE_DIR}/build/native/tools/emulator/vfd-emulator"
    CACHE FILEPATH "The native display emulator used by the Win32 tests")
