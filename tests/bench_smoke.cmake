# Smoke run of the benchmark programs (bench/) with small N on both providers:
# fonwerk and the baseline must write the same TAPI rows. The benchmark itself
# (scripts/bench.sh) does not run in CI.
if(FONWERK_BUILD_BENCH)
  add_executable(bench_smoke_test bench/bench_smoke_test.cpp)
  target_link_libraries(bench_smoke_test PRIVATE fonwerk_bench_support fonwerk_test_support)
  target_compile_definitions(bench_smoke_test PRIVATE
    FONWERK_GEN_PATH="$<TARGET_FILE:fonwerk-gen>"
    FONWERK_BASELINE_PATH="$<TARGET_FILE:fonwerk-baseline>")
  add_dependencies(bench_smoke_test fonwerk fonwerk-gen fonwerk-baseline)
  fonwerk_add_test(bench_smoke_test)
endif()
