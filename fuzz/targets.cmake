# The fuzz targets. Each fuzz/<name>.cpp defines LLVMFuzzerTestOneInput and has
# its seed corpus in fuzz/corpus/<name>/. Included by fuzz/CMakeLists.txt (the
# libFuzzer build, clang only) and by tests/CMakeLists.txt (the corpus
# replay of the normal build, any compiler).
set(FONWERK_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
set(FONWERK_FUZZ_TARGETS
  formatting_fuzz
  harvest_fuzz
  get_phone_fuzz
  remove_string_fuzz
  filter_fuzz
  sql_ini_fuzz
  connection_string_fuzz
  lookup_request_fuzz
)
# Libraries a target needs beside the support library.
set(FONWERK_FUZZ_LIBS_lookup_request_fuzz fonwerkctl_lib nlohmann_json::nlohmann_json)

# What every target links besides its own source: the system's code, the
# installer (for throwaway SQLite installations) and the shared helpers.
function(fonwerk_fuzz_support_library name)
  add_library(${name} STATIC ${FONWERK_FUZZ_DIR}/fuzz_support.cpp)
  target_link_libraries(${name} PUBLIC fonwerk_phone fonwerk_install fonwerk_options)
endfunction()
