# Reads the export table of include/pelcor.h (ordinal, name, argument count)
# so that the .def files and the symbol lists come from that one table.
#
# Sets PELCOR_EXPORT_ORDINALS, PELCOR_EXPORT_NAMES and PELCOR_EXPORT_ARGCS,
# three lists in table order.
# Only the head of each row is taken: a whole row ends in the macro's
# backslash, which would escape the list separator and join the rows.
file(READ "${CMAKE_CURRENT_LIST_DIR}/../include/pelcor.h" _pelcor_header)
string(REGEX MATCHALL "\n  X\\([0-9]+, [A-Za-z]+, [0-9]+," _pelcor_rows
       "${_pelcor_header}")
set(PELCOR_EXPORT_ORDINALS)
set(PELCOR_EXPORT_NAMES)
set(PELCOR_EXPORT_ARGCS)
foreach(_row IN LISTS _pelcor_rows)
  string(REGEX MATCH "X\\(([0-9]+), ([A-Za-z]+), ([0-9]+)," _ "${_row}")
  list(APPEND PELCOR_EXPORT_ORDINALS ${CMAKE_MATCH_1})
  list(APPEND PELCOR_EXPORT_NAMES ${CMAKE_MATCH_2})
  list(APPEND PELCOR_EXPORT_ARGCS ${CMAKE_MATCH_3})
endforeach()
list(LENGTH PELCOR_EXPORT_NAMES PELCOR_EXPORT_COUNT)
if(PELCOR_EXPORT_COUNT EQUAL 0)
  message(FATAL_ERROR "no rows found in the export table of pelcor.h")
endif()
