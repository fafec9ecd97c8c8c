# Native tests of the manifest tool (included from cmake/native.cmake, after native-tests.cmake
# has added GoogleTest).
add_executable(tool_native_tests ${CMAKE_SOURCE_DIR}/tests/tools/ToolTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/tools/SigningToolTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/tools/DeltaToolTests.cpp)
target_link_libraries(tool_native_tests PRIVATE qirell_manifest_tool gtest gtest_main)
target_compile_definitions(tool_native_tests PRIVATE QIRELL_TOOL_PATH="$<TARGET_FILE:qirell-manifest>")
add_dependencies(tool_native_tests qirell-manifest)
add_test(NAME tool_native_tests COMMAND tool_native_tests --gtest_color=no)
set_tests_properties(tool_native_tests PROPERTIES TIMEOUT 300)

if(QIRELL_FUZZ)
  # The code under test carries the coverage instrumentation; only the target links the fuzzer's main.
  add_library(qirell_tool_names_fuzzable STATIC ${CMAKE_SOURCE_DIR}/tools/qirell-manifest/Names.cpp
    ${CMAKE_SOURCE_DIR}/tools/qirell-manifest/Address.cpp ${CMAKE_SOURCE_DIR}/src/patch/PathRule.cpp
    ${CMAKE_SOURCE_DIR}/src/text/Utf8.cpp)
  target_include_directories(qirell_tool_names_fuzzable PUBLIC ${CMAKE_SOURCE_DIR}/tools/qirell-manifest)
  target_compile_features(qirell_tool_names_fuzzable PUBLIC cxx_std_20)
  target_compile_options(qirell_tool_names_fuzzable PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(fuzz_tool_names ${CMAKE_SOURCE_DIR}/tests/tools/ToolNamesFuzz.cpp)
  target_link_libraries(fuzz_tool_names PRIVATE qirell_tool_names_fuzzable)
  target_compile_options(fuzz_tool_names PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_tool_names PRIVATE -fsanitize=fuzzer)
endif()
