# test targets (components): the component library, its factory and the platform layer.
add_executable(components_test
  ${CMAKE_CURRENT_LIST_DIR}/services/dal_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/dbini_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/dbutil_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/factory_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/platform_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/progress_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/registry_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/services/util_test.cpp)
target_link_libraries(components_test PRIVATE fonwerk_com)
fonwerk_add_test(components_test)
