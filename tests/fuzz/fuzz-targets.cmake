# Fuzz targets beyond the manifest reader's, built in the native clang build with libFuzzer.
if(QIRELL_FUZZ)
  add_executable(fuzz_path_rule ${CMAKE_SOURCE_DIR}/tests/fuzz/PathRuleFuzz.cpp)
  target_link_libraries(fuzz_path_rule PRIVATE qirell_portable)
  target_compile_options(fuzz_path_rule PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_path_rule PRIVATE -fsanitize=fuzzer)
endif()
