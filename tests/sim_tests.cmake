# The simulated device: its model, the far end on the scripted port and,
# off Windows, the device on a pseudo-terminal. Test names start with "Sim.".
add_executable(pelcor_sim_tests
  ${CMAKE_CURRENT_LIST_DIR}/scripted_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/far_end_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_counter_device_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_far_end_test.cpp
)
if(NOT WIN32)
  target_sources(pelcor_sim_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/sim_pty_device_test.cpp)
endif()
target_include_directories(pelcor_sim_tests PRIVATE
  ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(pelcor_sim_tests PRIVATE
  pelcor_sim pelcor_core GTest::gtest_main)
gtest_discover_tests(pelcor_sim_tests TEST_PREFIX "Sim." DISCOVERY_TIMEOUT 60)
