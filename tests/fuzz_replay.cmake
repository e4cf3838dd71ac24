# Replays the committed corpus of every fuzz target through the target's
# properties, built with the project's normal compiler (no libFuzzer needed):
# one ctest test fuzz_replay.<target> each.
include(${CMAKE_SOURCE_DIR}/fuzz/targets.cmake)

fonwerk_fuzz_support_library(fonwerk_fuzz_replay_support)
add_library(fonwerk_fuzz_replay_main OBJECT ${FONWERK_FUZZ_DIR}/replay_main.cpp)
target_link_libraries(fonwerk_fuzz_replay_main PRIVATE fonwerk_options)

foreach(target IN LISTS FONWERK_FUZZ_TARGETS)
  add_executable(${target}_replay ${FONWERK_FUZZ_DIR}/${target}.cpp)
  target_link_libraries(${target}_replay PRIVATE fonwerk_fuzz_replay_support fonwerk_fuzz_replay_main
                        ${FONWERK_FUZZ_LIBS_${target}})
  add_test(NAME fuzz_replay.${target}
           COMMAND ${target}_replay ${FONWERK_FUZZ_DIR}/corpus/${target})
endforeach()
