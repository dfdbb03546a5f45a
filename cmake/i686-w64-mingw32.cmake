# Cross build for the 32-bit Windows console target with Debian's MinGW-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
# The POSIX thread model is the one whose standard library has std::mutex, which GoogleTest needs.
# The program is linked statically, so it needs no DLL beyond those of Windows itself.
# Where wine is installed, CTest runs the Windows programs under it, in a wine prefix kept in the
# build tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(GUARDGEN_WINE wine)
if(GUARDGEN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix ${CMAKE_CURRENT_LIST_DIR}/wine-run)
endif()
