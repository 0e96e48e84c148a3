# libpelcor.so on Linux: the serial backend over pseudo-terminals, the
# library through its exports against the simulated device, the shared
# library's symbol table, and an install that a host builds against.
if(WIN32 OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT TARGET pelcor)
  return()
endif()

# The backend's own calls, linked straight in (the shared library hides them).
add_executable(pelcor_pty_backend_tests
  ${CMAKE_CURRENT_LIST_DIR}/pty_backend_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pty_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pty_termios2.cpp
  $<TARGET_OBJECTS:pelcor_posix_backend>)
target_include_directories(pelcor_pty_backend_tests PRIVATE
  ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(pelcor_pty_backend_tests PRIVATE pelcor_core GTest::gtest_main)
gtest_discover_tests(pelcor_pty_backend_tests TEST_PREFIX "Pty."
  DISCOVERY_TIMEOUT 60)

# The shipped library, as a host loads it.
add_executable(pelcor_pty_library_tests
  ${CMAKE_CURRENT_LIST_DIR}/pty_library_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pty_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pty_termios2.cpp)
target_include_directories(pelcor_pty_library_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(pelcor_pty_library_tests PRIVATE
  pelcor pelcor_sim GTest::gtest_main)
gtest_discover_tests(pelcor_pty_library_tests TEST_PREFIX "Pty."
  DISCOVERY_TIMEOUT 60)

# Exactly the fourteen names of the header's table, and nothing else.
string(REPLACE ";" "," _pelcor_names "${PELCOR_EXPORT_NAMES}")
add_test(NAME Pty.SharedLibraryExportsExactlyTheTable
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:pelcor>
          -DNAMES=${_pelcor_names}
          -P ${CMAKE_CURRENT_LIST_DIR}/export_symbols.cmake)

# `cmake --install` into a scratch prefix, then a host program built against
# it with find_package(Pelcor) and with pkg-config.
add_test(NAME Pty.InstallServesCMakeAndPkgConfigHosts
  COMMAND ${CMAKE_COMMAND}
          -DBUILD_DIR=${PROJECT_BINARY_DIR}
          -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-check
          -DCONSUMER_DIR=${CMAKE_CURRENT_LIST_DIR}/posix_install_consumer
          -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
          -DGENERATOR=${CMAKE_GENERATOR}
          -DC_COMPILER=${CMAKE_C_COMPILER}
          -P ${CMAKE_CURRENT_LIST_DIR}/posix_install_check.cmake)
