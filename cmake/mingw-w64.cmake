# What the two Windows cross builds share, for Debian's MinGW-w64: set GUARDGEN_MINGW_ARCH (i686
# or x86_64) and GUARDGEN_WINE_LOADER (the wine that starts programs of that width), then include
# this file.
# The POSIX thread model is the one whose standard library has std::mutex, which GoogleTest needs.
# The program is linked statically, so it needs no DLL beyond those of Windows itself.
# Where that wine is installed, CTest runs the Windows programs under it, in a wine prefix kept in
# the build tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${GUARDGEN_MINGW_ARCH})

set(CMAKE_C_COMPILER ${GUARDGEN_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${GUARDGEN_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${GUARDGEN_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${GUARDGEN_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(GUARDGEN_WINE_LOADER)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix GUARDGEN_WINE=${GUARDGEN_WINE_LOADER}
        ${CMAKE_CURRENT_LIST_DIR}/wine-run)
endif()
