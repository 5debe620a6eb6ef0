# Installs the build into a fresh prefix, then proves the installed pieces stand on their
# own: the files are where the package says, the installed zevdir reaches the installed
# plug-in and LDAP library without environment variables, and a consumer builds and runs
# against find_package(zev9drld) and against the pkg-config file.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DSANITIZE=ON] -P install_test.cmake
cmake_minimum_required(VERSION 3.16)

function(run)
  cmake_parse_arguments(R "" "EXPECT;OUTPUT" "" ${ARGN})
  execute_process(COMMAND ${R_UNPARSED_ARGUMENTS} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT DEFINED R_EXPECT)
    set(R_EXPECT 0)
  endif()
  if(NOT rc STREQUAL R_EXPECT)
    message(FATAL_ERROR "${R_UNPARSED_ARGUMENTS}\n  exit ${rc}, expected ${R_EXPECT}:\n${out}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f bin/zevdir include/zev9drld/zevcms.h include/zev9drld/zevuniqueptr
          include/zev9drld/ldapapi.h include/zev9drld/ldapdirmanager.h
          lib/libzev9cms.so lib/libzev9drld.so lib/libzev9ldap.so
          lib/cmake/zev9drld/zev9drldConfig.cmake lib/pkgconfig/zev9drld.pc)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The installed zevdir, with the environment emptied of library paths: a closed port must
# give a connection error (3) from the LDAP library, not "cannot be loaded".
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=ZEV_LIBRARY_PATH
    ${prefix}/bin/zevdir -h 127.0.0.1 -p 1 --connect-timeout 2 ping EXPECT 3 OUTPUT out)
if(NOT out MATCHES "error 576002" OR out MATCHES "cannot be loaded")
  message(FATAL_ERROR "installed zevdir did not reach the installed libraries:\n${out}")
endif()

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/zevdir/consumer -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
# The consumer deletes its manager, whose client unloads the LDAP library and with it
# OpenLDAP's libldap, orphaning the process-wide state libldap never frees; zevdir keeps the
# library loaded for that reason. The consumer is here to prove the package, so a sanitizer
# build does not count that state as a leak.
set(quiet "ASAN_OPTIONS=$ENV{ASAN_OPTIONS}:detect_leaks=0")
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=ZEV_LIBRARY_PATH ${quiet}
    ${WORK_DIR}/consumer/consumer OUTPUT out)
if(NOT out MATCHES "refused 576002")
  message(FATAL_ERROR "consumer: ${out}")
endif()

# The same program through pkg-config.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
    pkg-config --cflags --libs zev9drld OUTPUT pc)
string(STRIP "${pc}" pc)
separate_arguments(pc UNIX_COMMAND "${pc}")
if(NOT pc MATCHES "-I${prefix}/lib/pkgconfig/../../include/zev9drld")
  message(FATAL_ERROR "pkg-config flags do not name the prefix: ${pc}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++17 ${flags} ${SOURCE_DIR}/tests/zevdir/consumer/consumer.cpp ${pc}
    -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/consumer-pc)
run(${CMAKE_COMMAND} -E env ${quiet} ${WORK_DIR}/consumer-pc OUTPUT out)
if(NOT out MATCHES "refused 576002")
  message(FATAL_ERROR "pkg-config consumer: ${out}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "install test passed")
