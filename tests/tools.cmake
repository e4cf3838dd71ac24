# fonwerk-mkinstall, run as the built program.
add_executable(tools_tests tools/mkinstall_e2e_test.cpp)
target_link_libraries(tools_tests PRIVATE fonwerk_test_support)
add_dependencies(tools_tests fonwerk-mkinstall)
fonwerk_add_test(tools_tests)
