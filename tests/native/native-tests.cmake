# Native unit tests and the fuzz target, built with the sanitizer flags that scripts/native.sh sets.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest-native EXCLUDE_FROM_ALL)

add_executable(manifest_native_tests
  ${CMAKE_SOURCE_DIR}/tests/manifest/JsonTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/manifest/ManifestTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/manifest/SignatureTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/manifest/DownloadMemberTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/transfer/RangeRulesTests.cpp)
target_link_libraries(manifest_native_tests PRIVATE qirell_portable gtest gtest_main)
add_test(NAME manifest_native_tests COMMAND manifest_native_tests --gtest_color=no)
set_tests_properties(manifest_native_tests PROPERTIES TIMEOUT 120)

add_executable(delta_native_tests ${CMAKE_SOURCE_DIR}/tests/transfer/BlockMatchTests.cpp)
target_link_libraries(delta_native_tests PRIVATE qirell_portable gtest gtest_main)
add_test(NAME delta_native_tests COMMAND delta_native_tests --gtest_color=no)
set_tests_properties(delta_native_tests PROPERTIES TIMEOUT 300)

option(QIRELL_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(QIRELL_FUZZ)
  # The code under test carries the coverage instrumentation; only the target links the fuzzer's main.
  add_library(qirell_manifest_fuzzable STATIC
    ${CMAKE_SOURCE_DIR}/src/manifest/Json.cpp
    ${CMAKE_SOURCE_DIR}/src/manifest/Manifest.cpp
    ${CMAKE_SOURCE_DIR}/src/text/AsciiLower.cpp)
  target_compile_options(qirell_manifest_fuzzable PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(fuzz_manifest ${CMAKE_SOURCE_DIR}/tests/native/FuzzManifest.cpp)
  target_compile_options(fuzz_manifest PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_manifest PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_manifest PRIVATE qirell_manifest_fuzzable)
endif()

add_executable(patch_native_tests ${CMAKE_SOURCE_DIR}/tests/patch/PathRuleTests.cpp
  ${CMAKE_SOURCE_DIR}/tests/patch/SpaceCheckTests.cpp)
target_link_libraries(patch_native_tests PRIVATE qirell_portable gtest gtest_main)
add_test(NAME patch_native_tests COMMAND patch_native_tests --gtest_color=no)
set_tests_properties(patch_native_tests PROPERTIES TIMEOUT 120)
