# test targets (db_core): values, connection strings and the data-access
# contract over both providers.
add_executable(db_core_test
  ${CMAKE_CURRENT_LIST_DIR}/services/variant_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/connection_string_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/ado_contract_test.cpp)
target_link_libraries(db_core_test PRIVATE fonwerk_com)
fonwerk_add_test(db_core_test)
