# libpelcor.so: the library's core over the POSIX serial backend, exporting
# the fourteen functions of the header's table and nothing else, with a
# pkg-config file and a CMake package for hosts that build against it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The backend: one file of serial services, plus the terminal settings in the
# flavour the system has (termios2 on Linux, for any speed).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(_pelcor_tty_source src/platform/posix_tty_linux.cpp)
else()
  set(_pelcor_tty_source src/platform/posix_tty_termios.cpp)
endif()
add_library(pelcor_posix_backend OBJECT
  src/platform/posix_serial.cpp
  ${_pelcor_tty_source})
target_include_directories(pelcor_posix_backend PRIVATE ${PROJECT_SOURCE_DIR}/src)

# The plain-termios flavour is built everywhere, so that it keeps compiling
# where nobody ships it.
if(NOT _pelcor_tty_source STREQUAL "src/platform/posix_tty_termios.cpp")
  add_library(pelcor_posix_tty_termios OBJECT src/platform/posix_tty_termios.cpp)
  target_include_directories(pelcor_posix_tty_termios PRIVATE ${PROJECT_SOURCE_DIR}/src)
endif()

# The linker's symbol list, from the export table: the fourteen names global,
# everything else local.
set(_pelcor_map "{\n  global:\n")
foreach(_name IN LISTS PELCOR_EXPORT_NAMES)
  string(APPEND _pelcor_map "    ${_name};\n")
endforeach()
string(APPEND _pelcor_map "  local:\n    *;\n};\n")
set(PELCOR_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/pelcor.map)
file(CONFIGURE OUTPUT ${PELCOR_VERSION_SCRIPT} CONTENT "${_pelcor_map}")

add_library(pelcor SHARED $<TARGET_OBJECTS:pelcor_posix_backend>)
add_library(Pelcor::Pelcor ALIAS pelcor)
# Every object of the core goes in, used or not: the exports are what the
# library is for, and nothing inside it calls them.
target_link_libraries(pelcor PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,pelcor_core>")
target_include_directories(pelcor PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_options(pelcor PRIVATE
  "LINKER:--version-script=${PELCOR_VERSION_SCRIPT}"
  "LINKER:--no-undefined")
set_target_properties(pelcor PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${PELCOR_VERSION_SCRIPT}
  EXPORT_NAME Pelcor)

# --- Installation -----------------------------------------------------------
set(PELCOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Pelcor)
set(PELCOR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS pelcor EXPORT PelcorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(FILES include/pelcor.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT PelcorTargets NAMESPACE Pelcor::
  DESTINATION ${PELCOR_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/PelcorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PelcorConfig.cmake
  INSTALL_DESTINATION ${PELCOR_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PelcorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/PelcorConfig.cmake
  ${PROJECT_BINARY_DIR}/PelcorConfigVersion.cmake
  DESTINATION ${PELCOR_INSTALL_CMAKEDIR})

# pkg-config: the paths relative to the .pc file, so that an install moved
# or made with `cmake --install --prefix` elsewhere still finds itself.
file(RELATIVE_PATH PELCOR_PC_TO_PREFIX
  /prefix/${PELCOR_INSTALL_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" PELCOR_PC_TO_PREFIX "${PELCOR_PC_TO_PREFIX}")
configure_file(cmake/pelcor.pc.in ${PROJECT_BINARY_DIR}/pelcor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pelcor.pc
  DESTINATION ${PELCOR_INSTALL_PKGCONFIGDIR})
