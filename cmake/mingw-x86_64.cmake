# Toolchain file for the same sources as 64-bit Windows programs (PE32+, x86-64), run under
# Wine's 64-bit loader. It exists for testing: a machine whose kernel cannot execute 32-bit
# x86 code (natively or through Wine's WoW64) still runs every Windows suite this way.
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
#         -DZEV_MINGW_PREFIX="$(scripts/bootstrap-windows x86_64 | tail -n 1)"
set(ZEV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZEV_WINE_NAMES wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
