# sources of fonwerk_services (db_core): values, connection strings, the
# ADO-shaped objects, the session pool and the SQLite provider.
target_sources(fonwerk_services PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/variant.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection_string.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ado.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sqlite_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/table_rebuild.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sqlite_table_rebuild.cpp)
