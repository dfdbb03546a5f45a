# Cross build for the 32-bit Windows console target with Debian's MinGW-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
# Its tests run under wine, which starts 32-bit programs where wine32 is installed and the kernel
# can run 32-bit code.
set(GUARDGEN_MINGW_ARCH i686)
find_program(GUARDGEN_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
