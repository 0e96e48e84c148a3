# Pelcor.DLL under Wine (scripts/test-windows.sh runs it all):
#  - Win.PeCheck: the DLL's exports, name, version record and imports, read
#    statically with pefile;
#  - Win.Exports: names and ordinals at run time, and on 32-bit the stack
#    after each __stdcall export;
#  - Win.MsvcHost: a host built MSVC-style (clang, lld-link, Pelcor.lib);
#  - Win.EndToEnd: the simulated device on a Linux pseudo-terminal as COM2,
#    driven through the DLL by a MinGW host and by the MSVC-style one;
#  - Win.Suite.<name>: every scripted-port suite, whole, in one Wine process.
#
# Off Windows this file builds only the device for the end-to-end test.
if(NOT WIN32)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND TARGET pelcor_sim)
    add_executable(pelcor_win_e2e_device
      ${CMAKE_CURRENT_LIST_DIR}/win_e2e_device.cpp)
    target_link_libraries(pelcor_win_e2e_device PRIVATE pelcor_sim)
  endif()
  return()
endif()

set(PELCOR_E2E_DEVICE "" CACHE FILEPATH
    "The Linux build's pelcor_win_e2e_device, for Win.EndToEnd")
set(_pelcor_win_runner
  ${PROJECT_SOURCE_DIR}/scripts/windows-run.sh
  --prefix ${PELCOR_WINEPREFIX} --arch ${PELCOR_WINDOWS_ARCH})

add_test(NAME Win.PeCheck
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/win_pe_check.py
          $<TARGET_FILE:pelcor> ${PROJECT_SOURCE_DIR}/include/pelcor.h
          ${PELCOR_WINDOWS_ARCH})

add_executable(pelcor_win_exports_tests
  ${CMAKE_CURRENT_LIST_DIR}/win_exports_test.cpp)
target_include_directories(pelcor_win_exports_tests PRIVATE
  ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(pelcor_win_exports_tests PRIVATE GTest::gtest_main)
add_dependencies(pelcor_win_exports_tests pelcor)
add_test(NAME Win.Exports COMMAND pelcor_win_exports_tests --gtest_brief=1)

add_executable(pelcor_win_e2e_host ${CMAKE_CURRENT_LIST_DIR}/win_e2e_host.cpp)
target_include_directories(pelcor_win_e2e_host PRIVATE
  ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(pelcor_win_e2e_host PRIVATE pelcor)

# --- The MSVC-style host ----------------------------------------------------
# No MSVC headers or libraries here: the host declares the four kernel32
# calls it makes, and its kernel32.lib comes from llvm-dlltool like Pelcor.lib.
find_program(PELCOR_CLANG NAMES clang clang-14 REQUIRED)
find_program(PELCOR_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
set(_pelcor_msvc_dir ${CMAKE_CURRENT_BINARY_DIR}/msvc)
set(PELCOR_MSVC_HOST ${CMAKE_BINARY_DIR}/bin/win_msvc_host.exe)
if(PELCOR_WINDOWS_ARCH STREQUAL "x86")
  set(_pelcor_msvc_triple i686-pc-windows-msvc)
  set(_pelcor_msvc_kernel32 "GetStdHandle@4\n  WriteFile@20\n  GetCommandLineA@0\n  ExitProcess@4")
  set(_pelcor_msvc_machine i386)
  set(_pelcor_msvc_kill -k)
else()
  set(_pelcor_msvc_triple x86_64-pc-windows-msvc)
  set(_pelcor_msvc_kernel32 "GetStdHandle\n  WriteFile\n  GetCommandLineA\n  ExitProcess")
  set(_pelcor_msvc_machine i386:x86-64)
  set(_pelcor_msvc_kill)
endif()
file(CONFIGURE OUTPUT ${_pelcor_msvc_dir}/kernel32.def CONTENT
     "LIBRARY kernel32.dll\nEXPORTS\n  ${_pelcor_msvc_kernel32}\n")
add_custom_command(
  OUTPUT ${PELCOR_MSVC_HOST}
  COMMAND ${PELCOR_LLVM_DLLTOOL} -m ${_pelcor_msvc_machine}
          -d ${_pelcor_msvc_dir}/kernel32.def -l ${_pelcor_msvc_dir}/kernel32.lib
          ${_pelcor_msvc_kill}
  COMMAND ${PELCOR_CLANG} --target=${_pelcor_msvc_triple} -ffreestanding
          -fno-builtin -fno-stack-protector -O2 -Wall -Wextra -Werror
          -I${PROJECT_SOURCE_DIR}/include
          -c ${CMAKE_CURRENT_LIST_DIR}/win_msvc_host.c
          -o ${_pelcor_msvc_dir}/win_msvc_host.obj
  COMMAND ${PELCOR_LLD_LINK} /nologo /nodefaultlib /entry:Start
          /subsystem:console /out:${PELCOR_MSVC_HOST}
          ${_pelcor_msvc_dir}/win_msvc_host.obj ${PELCOR_MSVC_IMPORT_LIB}
          ${_pelcor_msvc_dir}/kernel32.lib
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/win_msvc_host.c
          ${PROJECT_SOURCE_DIR}/include/pelcor.h ${PELCOR_MSVC_IMPORT_LIB}
  COMMENT "Building the MSVC-style host with clang and lld-link"
  VERBATIM)
add_custom_target(pelcor_win_msvc_host ALL DEPENDS ${PELCOR_MSVC_HOST})
add_test(NAME Win.MsvcHost COMMAND ${_pelcor_win_runner} ${PELCOR_MSVC_HOST})

add_test(NAME Win.EndToEnd
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/win_end_to_end.py
          --runner ${PROJECT_SOURCE_DIR}/scripts/windows-run.sh
          --prefix ${PELCOR_WINEPREFIX} --arch ${PELCOR_WINDOWS_ARCH}
          --device "${PELCOR_E2E_DEVICE}"
          $<TARGET_FILE:pelcor_win_e2e_host> ${PELCOR_MSVC_HOST})

# --- The scripted-port suites, each in one process ----------------------------
# Under Wine every process start costs a second or more, so the suites that
# gtest_discover_tests registered case by case run whole instead. This runs
# once the whole folder has been read, so later suites are found too.
function(_pelcor_windows_whole_suites)
  get_directory_property(_includes TEST_INCLUDE_FILES)
  set(_suites)
  foreach(_include IN LISTS _includes)
    if(_include MATCHES "/([A-Za-z0-9_]+)\\[[0-9]+\\]_include\\.cmake$")
      list(APPEND _suites ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT _suites)
    message(FATAL_ERROR "no GoogleTest suites found for the Windows build")
  endif()
  set_directory_properties(PROPERTIES TEST_INCLUDE_FILES "")
  foreach(_suite IN LISTS _suites)
    add_test(NAME Win.Suite.${_suite} COMMAND ${_suite} --gtest_brief=1)
  endforeach()
  get_directory_property(_tests TESTS)
  set_tests_properties(${_tests} PROPERTIES LABELS windows TIMEOUT 900)
endfunction()
cmake_language(DEFER CALL _pelcor_windows_whole_suites)
