# Native Linux build of the platform-free code: the manifest reader, the path rule, the portable
# SHA-256 and the operator tool. Sanitizer and fuzzer flags come from scripts/native.sh.
include_directories(${CMAKE_SOURCE_DIR}/src)
enable_testing()

set(portable_sources src/text/AsciiLower.cpp src/patch/PathRule.cpp)
foreach(f src/manifest/Json.cpp src/manifest/Manifest.cpp src/transfer/Sha256Core.cpp
          src/client/OptionText.cpp)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${f})
    list(APPEND portable_sources ${f})
  endif()
endforeach()
add_library(qirell_portable STATIC ${portable_sources})

# Native unit tests and fuzz targets.
include(${CMAKE_SOURCE_DIR}/tests/native/native-tests.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz-targets.cmake OPTIONAL)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/qirell-manifest/CMakeLists.txt)
  add_subdirectory(tools/qirell-manifest)
endif()
include(${CMAKE_SOURCE_DIR}/tests/tools/tools-tests.cmake OPTIONAL)
