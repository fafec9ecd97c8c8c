# libFuzzer targets, built in the native clang build with -DQIRELL_FUZZ=ON. The code under test is
# the folders' object libraries, compiled with coverage instrumentation when fuzzing is on.
if(NOT QIRELL_FUZZ)
  return()
endif()

# qirell_fuzz_target(name source [more sources...]): one target linking the platform-free code.
function(qirell_fuzz_target name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE qirell_portable)
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

qirell_fuzz_target(fuzz_manifest ${CMAKE_SOURCE_DIR}/tests/native/FuzzManifest.cpp)
qirell_fuzz_target(fuzz_path_rule ${CMAKE_SOURCE_DIR}/tests/fuzz/PathRuleFuzz.cpp)
qirell_fuzz_target(fuzz_option_repair ${CMAKE_SOURCE_DIR}/tests/fuzz/OptionRepairFuzz.cpp)
qirell_fuzz_target(fuzz_signature_file ${CMAKE_SOURCE_DIR}/tests/fuzz/SignatureFileFuzz.cpp)
qirell_fuzz_target(fuzz_content_range ${CMAKE_SOURCE_DIR}/tests/fuzz/ContentRangeFuzz.cpp)
qirell_fuzz_target(fuzz_block_map ${CMAKE_SOURCE_DIR}/tests/fuzz/BlockMapFuzz.cpp)
qirell_fuzz_target(fuzz_state ${CMAKE_SOURCE_DIR}/tests/fuzz/StateFuzz.cpp)
# The tool's name rules and addresses are compiled into the target, so the fuzzer sees their branches.
qirell_fuzz_target(fuzz_tool_names ${CMAKE_SOURCE_DIR}/tests/tools/ToolNamesFuzz.cpp
  ${CMAKE_SOURCE_DIR}/tools/qirell-manifest/Names.cpp ${CMAKE_SOURCE_DIR}/tools/qirell-manifest/Address.cpp)
target_include_directories(fuzz_tool_names PRIVATE ${CMAKE_SOURCE_DIR}/tools/qirell-manifest)
