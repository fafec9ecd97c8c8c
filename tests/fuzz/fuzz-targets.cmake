# Fuzz targets beyond the manifest reader's (path rule, option repair, block map reader), built in the native clang build with libFuzzer.
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
  add_executable(fuzz_signature_file ${CMAKE_SOURCE_DIR}/tests/fuzz/SignatureFileFuzz.cpp)
  target_link_libraries(fuzz_signature_file PRIVATE qirell_portable)
  target_compile_options(fuzz_signature_file PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_signature_file PRIVATE -fsanitize=fuzzer)
  add_executable(fuzz_content_range ${CMAKE_SOURCE_DIR}/tests/fuzz/ContentRangeFuzz.cpp)
  target_link_libraries(fuzz_content_range PRIVATE qirell_portable)
  target_compile_options(fuzz_content_range PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_content_range PRIVATE -fsanitize=fuzzer)
  # The map code is compiled into the target itself, so that the fuzzer sees its branches.
  add_executable(fuzz_block_map ${CMAKE_SOURCE_DIR}/tests/fuzz/BlockMapFuzz.cpp
    ${CMAKE_SOURCE_DIR}/src/transfer/BlockMap.cpp ${CMAKE_SOURCE_DIR}/src/transfer/BlockMatch.cpp
    ${CMAKE_SOURCE_DIR}/src/transfer/Sha256Core.cpp)
  target_compile_options(fuzz_block_map PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_block_map PRIVATE -fsanitize=fuzzer)
endif()
