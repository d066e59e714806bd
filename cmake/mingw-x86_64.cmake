# Cross toolchain: 64-bit Windows with mingw-w64. The same sources and tests, for machines
# whose kernel runs no 32-bit programs (and so no 32-bit Wine); the product stays 32-bit.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LDT_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
