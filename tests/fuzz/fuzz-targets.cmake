# Fuzz targets beyond the manifest reader's, built in the native clang build with libFuzzer.
if(QIRELL_FUZZ)
  # The rule under test carries the coverage instrumentation, so the fuzzer is guided through it.
  add_library(qirell_path_rule_fuzzable STATIC ${CMAKE_SOURCE_DIR}/src/patch/PathRule.cpp)
  target_compile_options(qirell_path_rule_fuzzable PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(fuzz_path_rule ${CMAKE_SOURCE_DIR}/tests/fuzz/PathRuleFuzz.cpp)
  target_link_libraries(fuzz_path_rule PRIVATE qirell_path_rule_fuzzable)
  target_compile_options(fuzz_path_rule PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_path_rule PRIVATE -fsanitize=fuzzer)
  add_executable(fuzz_option_repair ${CMAKE_SOURCE_DIR}/tests/fuzz/OptionRepairFuzz.cpp)
  target_link_libraries(fuzz_option_repair PRIVATE qirell_portable)
  target_compile_options(fuzz_option_repair PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_option_repair PRIVATE -fsanitize=fuzzer)
endif()
