# Cross build for the 64-bit Windows console target with Debian's MinGW-w64
# (g++-mingw-w64-x86-64):
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
# Its tests run under wine64 itself (Debian keeps it in /usr/lib/wine), not the wine script, which
# prefers the 32-bit loader and so fails where the kernel cannot run 32-bit code.
set(GUARDGEN_MINGW_ARCH x86_64)
find_program(GUARDGEN_WINE_LOADER wine64 PATHS /usr/lib/wine /usr/lib64/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
