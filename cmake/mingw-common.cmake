# What the two Windows cross toolchains share; LDT_MINGW_TRIPLET names the target.
# mingw-w64 with the posix thread model: GoogleTest needs std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${LDT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LDT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LDT_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LDT_MINGW_TRIPLET})
# Only the target's own files: otherwise the host's Linux GoogleTest is found.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# One self-contained exe: no libstdc++/libgcc/winpthread DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest runs the Windows test programs under Wine with the build tree's private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec.sh")
