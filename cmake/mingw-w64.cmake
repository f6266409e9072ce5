# Cross build for 64-bit Windows with mingw-w64. The -posix compilers are
# named on purpose: the win32 thread model cannot build GoogleTest, and
# installing the full mingw-w64 metapackage points the unsuffixed names at it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Only the target's own libraries and headers; the build machine's programs.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest and gtest_discover_tests run the test programs through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# GCC 12 reports false -Wrestrict errors in std::string concatenations at
# -O2/-O3 (a compiler bug in what libstdc++'s inlined append code looks
# like after optimisation, not a fault of ours); with -Werror they stop
# the optimised cross build whenever a test concatenates strings. The
# Linux builds keep the warning.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
