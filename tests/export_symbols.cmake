# Checks that a shared library defines exactly the dynamic symbols NAMES
# (comma-separated), reading them with nm.
#   cmake -DNM=nm -DLIBRARY=libpelcor.so -DNAMES=a,b,c -P export_symbols.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" _lines "${_out}")
set(_found)
foreach(_line IN LISTS _lines)
  if(_line MATCHES "([^ ]+)$")
    list(APPEND _found ${CMAKE_MATCH_1})
  endif()
endforeach()
string(REPLACE "," ";" _expected "${NAMES}")
list(SORT _found)
list(SORT _expected)
if(NOT _found STREQUAL _expected)
  set(_extra ${_found})
  list(REMOVE_ITEM _extra ${_expected})
  set(_missing ${_expected})
  list(REMOVE_ITEM _missing ${_found})
  message(FATAL_ERROR "${LIBRARY}: exports not as the table says\n"
    "  missing: ${_missing}\n  extra: ${_extra}")
endif()
list(LENGTH _found _count)
message(STATUS "${LIBRARY}: exactly the ${_count} exports of the table")
