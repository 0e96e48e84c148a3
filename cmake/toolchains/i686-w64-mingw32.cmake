# Cross compilation for 32-bit Windows (i686) with MinGW-w64. The -posix
# compilers use the winpthreads threading model, which std::mutex needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(_pelcor_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_pelcor_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_pelcor_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_pelcor_triple}-windres)
set(CMAKE_DLLTOOL ${_pelcor_triple}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${_pelcor_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
