# Pelcor.DLL: the library over kernel32's serial services, for 32- and 64-bit
# hosts, with its .def file, version record and import libraries.
#
# Built with the MinGW-w64 toolchains in cmake/toolchains (see the presets);
# `cmake --install` lays out <prefix>/x86 or <prefix>/x64.

enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(PELCOR_WINDOWS_ARCH x86)
  set(_pelcor_dlltool_machine i386)
else()
  set(PELCOR_WINDOWS_ARCH x64)
  set(_pelcor_dlltool_machine i386:x86-64)
endif()

# The DLL and every program that loads it side by side, so that the loader
# finds it next to the program.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# Programs carry their C++ runtime, which Wine and a bare Windows lack.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX ${PROJECT_SOURCE_DIR}/dist CACHE PATH
      "Where `cmake --install` puts x86/ or x64/" FORCE)
endif()

# --- The .def file, from the one export table ------------------------------
# 32-bit: the exports are __stdcall, whose symbols carry @<argument bytes>;
# the .def names them so and --kill-at exports the plain name. 64-bit has one
# convention and no decoration.
set(_pelcor_def_lines "LIBRARY \"Pelcor.DLL\"\nEXPORTS\n")
foreach(_name _ordinal _argc IN ZIP_LISTS
        PELCOR_EXPORT_NAMES PELCOR_EXPORT_ORDINALS PELCOR_EXPORT_ARGCS)
  if(PELCOR_WINDOWS_ARCH STREQUAL "x86")
    math(EXPR _bytes "4 * ${_argc}")
    string(APPEND _pelcor_def_lines "  ${_name}@${_bytes} @${_ordinal}\n")
  else()
    string(APPEND _pelcor_def_lines "  ${_name} @${_ordinal}\n")
  endif()
endforeach()
set(PELCOR_DEF_FILE ${CMAKE_BINARY_DIR}/Pelcor.def)
file(CONFIGURE OUTPUT ${PELCOR_DEF_FILE} CONTENT "${_pelcor_def_lines}")

configure_file(${PROJECT_SOURCE_DIR}/src/boundary/version.rc.in
               ${CMAKE_BINARY_DIR}/version.rc @ONLY)

# --- The DLL ----------------------------------------------------------------
add_library(pelcor SHARED
  ${PROJECT_SOURCE_DIR}/src/platform/win32_serial.cpp
  ${PROJECT_SOURCE_DIR}/src/boundary/dll_main.cpp
  ${CMAKE_BINARY_DIR}/version.rc
  ${PELCOR_DEF_FILE}
)
target_include_directories(pelcor PRIVATE ${PROJECT_SOURCE_DIR}/src)
# The whole core goes in: the exports are reached only through the .def.
target_link_libraries(pelcor PRIVATE
  "$<LINK_LIBRARY:WHOLE_ARCHIVE,pelcor_core>")
# Static runtime, so that the DLL needs nothing beyond KERNEL32 and msvcrt.
target_link_options(pelcor PRIVATE -static -static-libgcc -static-libstdc++)
if(PELCOR_WINDOWS_ARCH STREQUAL "x86")
  target_link_options(pelcor PRIVATE -Wl,--kill-at)
endif()
set_target_properties(pelcor PROPERTIES
  OUTPUT_NAME Pelcor
  PREFIX ""
  SUFFIX ".DLL"
  ARCHIVE_OUTPUT_NAME pelcor
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a"
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
  LINK_DEPENDS ${PELCOR_DEF_FILE})

# --- The MinGW import library ------------------------------------------------
# ld's own import library would carry the names that --kill-at left, while
# 32-bit callers link against _Name@n: write it from the .def instead, with
# the @n kept in the symbols and taken off the names asked of the DLL (-k).
find_program(PELCOR_DLLTOOL NAMES ${CMAKE_DLLTOOL} REQUIRED)
set(_pelcor_dlltool_kill)
if(PELCOR_WINDOWS_ARCH STREQUAL "x86")
  set(_pelcor_dlltool_kill -k)
endif()
add_custom_command(TARGET pelcor POST_BUILD
  COMMAND ${PELCOR_DLLTOOL} ${_pelcor_dlltool_kill} --dllname Pelcor.DLL
          --input-def ${PELCOR_DEF_FILE}
          --output-lib $<TARGET_LINKER_FILE:pelcor>
  VERBATIM)

# --- The MSVC import library -----------------------------------------------
# -k takes the @n off the names that the DLL is asked for, as --kill-at did
# to its exports, while MSVC's callers still link against _Name@n.
find_program(PELCOR_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(PELCOR_MSVC_IMPORT_LIB ${CMAKE_BINARY_DIR}/bin/Pelcor.lib)
add_custom_command(
  OUTPUT ${PELCOR_MSVC_IMPORT_LIB}
  COMMAND ${PELCOR_LLVM_DLLTOOL} -m ${_pelcor_dlltool_machine}
          -d ${PELCOR_DEF_FILE} -l ${PELCOR_MSVC_IMPORT_LIB}
          ${_pelcor_dlltool_kill}
  DEPENDS ${PELCOR_DEF_FILE}
  COMMENT "Writing the MSVC import library Pelcor.lib"
  VERBATIM)
add_custom_target(pelcor_msvc_import_lib ALL DEPENDS ${PELCOR_MSVC_IMPORT_LIB})

# --- dist: <prefix>/x86 or <prefix>/x64 --------------------------------------
install(FILES
  $<TARGET_FILE:pelcor>
  $<TARGET_LINKER_FILE:pelcor>
  ${PELCOR_MSVC_IMPORT_LIB}
  ${PELCOR_DEF_FILE}
  ${PROJECT_SOURCE_DIR}/include/pelcor.h
  DESTINATION ${PELCOR_WINDOWS_ARCH})
add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR}
  DEPENDS pelcor pelcor_msvc_import_lib
  COMMENT "Laying out ${CMAKE_INSTALL_PREFIX}/${PELCOR_WINDOWS_ARCH}"
  VERBATIM)

# --- Tests under Wine ---------------------------------------------------------
if(PELCOR_BUILD_TESTS)
  # GoogleTest from Debian's sources, built for this target and linked
  # statically; find_package(GTest) in tests/ is answered by it. Its own code
  # is not held to this project's warning flags.
  include(FetchContent)
  FetchContent_Declare(GTest
    SOURCE_DIR /usr/src/googletest
    OVERRIDE_FIND_PACKAGE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  get_directory_property(_pelcor_compile_options COMPILE_OPTIONS)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
  FetchContent_MakeAvailable(GTest)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS
                           "${_pelcor_compile_options}")

  # Every test program runs under Wine in one prefix inside the build tree
  # (the 32-bit build can share the 64-bit one's: a win64 prefix runs both).
  set(PELCOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
      "The Wine prefix that the tests run in")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${PROJECT_SOURCE_DIR}/scripts/windows-run.sh
      --prefix ${PELCOR_WINEPREFIX} --arch ${PELCOR_WINDOWS_ARCH})
  # Listing a suite's cases means starting Wine: do it when the tests run,
  # not at every build.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
