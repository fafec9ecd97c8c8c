# Native Linux build of the platform-free code: the folders' object libraries, the operator tool and
# their tests. Sanitizer and fuzzer flags come from scripts/native.sh (or the sanitize preset).
enable_testing()
add_subdirectory(src)

# Every folder's platform-free objects in one library, for the native tests and the tool.
add_library(qirell_portable STATIC
  $<TARGET_OBJECTS:qirell_text_portable> $<TARGET_OBJECTS:qirell_digest_portable>
  $<TARGET_OBJECTS:qirell_manifest_portable> $<TARGET_OBJECTS:qirell_trust_portable>
  $<TARGET_OBJECTS:qirell_net_portable> $<TARGET_OBJECTS:qirell_fetch_portable>
  $<TARGET_OBJECTS:qirell_delta_portable>
  $<TARGET_OBJECTS:qirell_client_portable> $<TARGET_OBJECTS:qirell_patch_portable>
  $<TARGET_OBJECTS:qirell_state_portable>)
target_link_libraries(qirell_portable PUBLIC qirell_common)
if(QIRELL_FUZZ)
  target_link_options(qirell_portable INTERFACE -fsanitize=fuzzer-no-link)
endif()

include(${CMAKE_SOURCE_DIR}/tests/native/native-tests.cmake)
include(${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz-targets.cmake)

add_subdirectory(tools/qirell-manifest)
include(${CMAKE_SOURCE_DIR}/tests/tools/tools-tests.cmake)
