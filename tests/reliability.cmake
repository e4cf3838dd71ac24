# Reliability: fault injection and hostile input against the real programs
# (fonwerk and fonwerkctl) on both providers. fault_test.cpp starts PostgreSQL
# servers of its own on the test server's port plus 5 and plus 6.
add_executable(reliability_tests
  ${CMAKE_CURRENT_LIST_DIR}/reliability/reliability_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reliability/kill_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reliability/fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reliability/hostile_input_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reliability/table_swap_test.cpp)
target_link_libraries(reliability_tests PRIVATE fonwerk_test_support)
add_dependencies(reliability_tests fonwerk fonwerkctl)
fonwerk_add_test(reliability_tests)
