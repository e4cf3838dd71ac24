# Number formatting, the contact phone list, the search conditions and the
# companion tool fonwerkctl (its end-to-end tests run the built program).
add_executable(formatting_tests
  canonical/formatting_test.cpp
  lookup/phone_list_test.cpp
  lookup/sql_fragments_test.cpp
  ctl/fonwerkctl_e2e_test.cpp
)
target_link_libraries(formatting_tests PRIVATE fonwerk_phone fonwerkctl_lib fonwerk_test_support)
add_dependencies(formatting_tests fonwerkctl)
fonwerk_add_test(formatting_tests)
