# Cross build for 32-bit Windows with MinGW-w64 (posix thread model). Executables are fully
# static, so they need no MinGW DLLs at run time; tests run under Wine through wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(OAREPAIR_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${OAREPAIR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OAREPAIR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OAREPAIR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OAREPAIR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLLs beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest (and gtest_discover_tests) start the test programs through Wine in a throwaway prefix.
# The template prefix lives in the build tree, one per build directory.
set(OAREPAIR_WINE_ARCH x86)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--cache;${CMAKE_BINARY_DIR}/wine-prefix;x86")
