# test targets (db_pg): the PostgreSQL provider against the test server.
add_executable(pg_session_test services/pg_session_test.cpp)
target_link_libraries(pg_session_test PRIVATE fonwerk_com)
fonwerk_add_test(pg_session_test)
