# sources of fonwerk_services (components)
target_sources(fonwerk_services PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/component_factory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dbini.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dbutil.cpp
  ${CMAKE_CURRENT_LIST_DIR}/guid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ini_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_lock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/util.cpp)
