# sources of fonwerk_services (db_pg): the PostgreSQL provider.
target_sources(fonwerk_services PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/pg_libpq.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pg_cursor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pg_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pg_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pg_table_rebuild.cpp)
