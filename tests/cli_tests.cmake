# The pelcor command as a user runs it: each subcommand against `pelcor sim`,
# its error paths, its command line, the simulator itself and the demo.
# Test names start with "Cli.". Needs pseudo-terminals, so Linux only.
if(WIN32 OR NOT TARGET pelcor_cli)
  return()
endif()

# Debian's interpreter; the script needs nothing beyond its standard library.
find_program(PELCOR_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PELCOR_PYTHON3 python3)
if(NOT PELCOR_PYTHON3)
  # The build (and the demo) go on; the test run does not pass.
  message(WARNING "the pelcor command's tests need python3 (apt-get install python3)")
  add_test(NAME Cli.NeedsPython3 COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

foreach(_group IN ITEMS MainPaths ErrorPaths Arguments Simulator Demo)
  add_test(NAME Cli.${_group}
    COMMAND ${PELCOR_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/cli_test.py
            $<TARGET_FILE:pelcor_cli> ${_group})
  set_tests_properties(Cli.${_group} PROPERTIES TIMEOUT 300)
endforeach()
