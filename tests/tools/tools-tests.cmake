# Native tests of the manifest tool (included from cmake/native.cmake, after native-tests.cmake
# has added GoogleTest).
add_executable(tool_native_tests ${CMAKE_SOURCE_DIR}/tests/tools/ToolTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/tools/SigningToolTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/tools/DeltaToolTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/tools/NextToolTests.cpp)
target_link_libraries(tool_native_tests PRIVATE qirell_manifest_tool gtest gtest_main)
target_compile_definitions(tool_native_tests PRIVATE QIRELL_TOOL_PATH="$<TARGET_FILE:qirell-manifest>")
add_dependencies(tool_native_tests qirell-manifest)
add_test(NAME tool_native_tests COMMAND tool_native_tests --gtest_color=no)
set_tests_properties(tool_native_tests PROPERTIES TIMEOUT 300)
