# Toolchain file for the shipped Windows form: 32-bit DLLs and programs (PE32, i386), built
# with Debian's MinGW-w64 i686 compilers and run under Wine's 32-bit loader.
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DZEV_MINGW_PREFIX="$(scripts/bootstrap-windows i686 | tail -n 1)"
set(ZEV_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZEV_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
