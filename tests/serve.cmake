# The lookup service and the number reduction shared by harvesting and lookup:
# the parts in process, and the built fonwerkctl serve against real
# installations (serve_e2e_test.cpp starts a PostgreSQL server of its own on a
# free port for the test that stops and starts the database).
add_executable(serve_tests
  ${CMAKE_CURRENT_LIST_DIR}/canonical/stored_number_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ctl/service_parts_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ctl/serve_e2e_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reliability/reliability_support.cpp)
target_link_libraries(serve_tests PRIVATE fonwerkctl_lib fonwerk_test_support
  nlohmann_json::nlohmann_json PkgConfig::HTTPLIB)
add_dependencies(serve_tests fonwerk fonwerkctl)
fonwerk_add_test(serve_tests)
