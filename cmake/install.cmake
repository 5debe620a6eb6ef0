# Installation: the libraries, zevdir, the public headers under include/zev9drld, a CMake
# package (find_package(zev9drld) with imported targets zev9drld::zev9cms,
# zev9drld::zev9drld and, when built, zev9drld::zev9ldap) and a pkg-config file.
#
# Installed programs carry the RPATH $ORIGIN/../<libdir> (set at top level), and libzev9cms
# loads libzev9drld.so and libzev9ldap.so from its own folder, so an installed zevdir runs
# without environment variables.
include(CMakePackageConfigHelpers)

set(ZEV_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zev9drld)
set(ZEV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zev9drld)

set(ZEV_INSTALL_LIBRARIES zev9cms zev9drld)
if(TARGET zev9ldap)
  list(APPEND ZEV_INSTALL_LIBRARIES zev9ldap)
endif()

install(TARGETS ${ZEV_INSTALL_LIBRARIES}
  EXPORT zev9drldTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${ZEV_INSTALL_INCLUDEDIR})
if(TARGET zevdir)
  install(TARGETS zevdir RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

file(GLOB ZEV_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/zev_cms/zevcms/inc/*
  ${PROJECT_SOURCE_DIR}/zuzeder/inc/*.h)
list(APPEND ZEV_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/ldap_api/inc/ldapapi.h)
install(FILES ${ZEV_PUBLIC_HEADERS} DESTINATION ${ZEV_INSTALL_INCLUDEDIR})

# On Windows the programs and DLLs share one folder (bin/), which runs as it is: the MinGW
# run-time DLLs that they need go there too.
if(WIN32)
  set(ZEV_RUNTIME_DLLS "")
  foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${found}" AND EXISTS "${found}")
      list(APPEND ZEV_RUNTIME_DLLS "${found}")
    endif()
  endforeach()
  install(FILES ${ZEV_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT zev9drldTargets
  NAMESPACE zev9drld::
  FILE zev9drldTargets.cmake
  DESTINATION ${ZEV_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/zev9drldConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zev9drldConfig.cmake
  INSTALL_DESTINATION ${ZEV_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/zev9drldConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/zev9drldConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zev9drldConfigVersion.cmake
  DESTINATION ${ZEV_INSTALL_CMAKEDIR})

# The prefix is found from the .pc file's own place, so that cmake --install --prefix DIR
# gives a correct file whatever prefix was configured.
file(RELATIVE_PATH ZEV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zev9drld.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zev9drld.pc
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zev9drld.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
