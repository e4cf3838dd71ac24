# test targets (support)

# fonwerk_test_support: throwaway installations and the program runner.
add_library(fonwerk_test_support STATIC support/test_install.cpp)
target_link_libraries(fonwerk_test_support PUBLIC fonwerk_install fonwerk_com fonwerk_options)

add_executable(fonwerk_support_test support/test_install_test.cpp)
target_link_libraries(fonwerk_support_test PRIVATE fonwerk_test_support)
add_dependencies(fonwerk_support_test fonwerk-mkinstall)
fonwerk_add_test(fonwerk_support_test)
