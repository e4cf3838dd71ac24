# The class and the batch program.
add_executable(core_tests
  canonical/configuration_test.cpp
  lookup/harvesting_test.cpp
  batch/fonwerk_e2e_test.cpp
)
target_link_libraries(core_tests PRIVATE fonwerk_phone fonwerk_test_support)
fonwerk_add_test(core_tests)
