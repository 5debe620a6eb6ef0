# The body of the MinGW-w64 toolchain file (mingw-i686.cmake sets the target): Debian's
# cross compilers of the posix thread model (for std::thread and std::mutex), and Wine as the
# emulator that runs the test programs under ctest. The including file sets
# ZEV_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR and ZEV_WINE_NAMES.
#
# ZEV_MINGW_PREFIX (or the environment variable of that name) lists the prefixes that
# scripts/bootstrap-windows prints: the dependencies built for MinGW. They are searched as
# roots, like the MinGW sysroot, so nothing is ever taken from the build machine's /usr.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZEV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEV_MINGW_TRIPLE}-windres)

if(NOT ZEV_MINGW_PREFIX AND DEFINED ENV{ZEV_MINGW_PREFIX})
  set(ZEV_MINGW_PREFIX "$ENV{ZEV_MINGW_PREFIX}")
endif()
# try_compile projects read this file again; hand them the prefixes too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEV_MINGW_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEV_MINGW_TRIPLE} ${ZEV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the prefixes' own .pc files.
set(zev_pc_dirs "")
foreach(prefix ${ZEV_MINGW_PREFIX})
  list(APPEND zev_pc_dirs ${prefix}/lib/pkgconfig)
endforeach()
string(REPLACE ";" ":" zev_pc_dirs "${zev_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${zev_pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

find_program(ZEV_WINE NAMES ${ZEV_WINE_NAMES} PATHS /usr/lib/wine NO_CACHE)
if(ZEV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEV_WINE})
endif()
