# Installs the build into a scratch prefix, checks the files a host needs,
# and builds and runs a host program against it twice: with find_package and
# with pkg-config.
#   cmake -DBUILD_DIR= -DWORK_DIR= -DCONSUMER_DIR= -DLIBDIR= -DGENERATOR=
#         -DC_COMPILER= -P posix_install_check.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(lib ${prefix}/${LIBDIR})
foreach(f ${lib}/libpelcor.so.2.0.0 ${prefix}/include/pelcor.h
          ${lib}/pkgconfig/pelcor.pc ${lib}/cmake/Pelcor/PelcorConfig.cmake
          ${lib}/cmake/Pelcor/PelcorConfigVersion.cmake)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(link_and_target "libpelcor.so.2=libpelcor.so.2.0.0"
                        "libpelcor.so=libpelcor.so.2")
  string(REPLACE "=" ";" pair ${link_and_target})
  list(GET pair 0 link)
  list(GET pair 1 target)
  file(READ_SYMLINK ${lib}/${link} got)
  if(NOT got STREQUAL target)
    message(FATAL_ERROR "${link} points at '${got}', not ${target}")
  endif()
endforeach()
run(readelf -d ${lib}/libpelcor.so.2.0.0)
if(NOT run_output MATCHES "SONAME\\)[^\n]*\\[libpelcor\\.so\\.2\\]")
  message(FATAL_ERROR "SONAME is not libpelcor.so.2:\n${run_output}")
endif()

# find_package(Pelcor) and Pelcor::Pelcor.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-host
    -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
run(${WORK_DIR}/cmake-host/consumer)

# pkg-config.
find_program(PKG_CONFIG NAMES pkgconf pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${lib}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs pelcor)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} ${CONSUMER_DIR}/consumer.c ${flags}
    -o ${WORK_DIR}/pkg-config-host)
set(ENV{LD_LIBRARY_PATH} ${lib})
run(${WORK_DIR}/pkg-config-host)
message(STATUS "installed into ${prefix}; both hosts built and ran")
