# Native Linux build of the platform-free code: the manifest reader, the path rule, the portable
# SHA-256 and the operator tool. Sanitizer and fuzzer flags come from scripts/native.sh.
include_directories(${CMAKE_SOURCE_DIR}/src)
enable_testing()

add_library(qirell_portable STATIC src/text/AsciiLower.cpp src/text/Utf8.cpp src/patch/PathRule.cpp src/manifest/Json.cpp
  src/manifest/Manifest.cpp src/transfer/Sha256Core.cpp src/transfer/RangeRules.cpp src/transfer/BlockMap.cpp
  src/transfer/BlockMatch.cpp src/client/OptionText.cpp src/base/StampBlock.cpp src/manifest/SignatureFile.cpp
  src/manifest/Expiry.cpp src/patch/SpaceCheck.cpp)

# Native unit tests and fuzz targets.
include(${CMAKE_SOURCE_DIR}/tests/native/native-tests.cmake)
include(${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz-targets.cmake)

add_subdirectory(tools/qirell-manifest)
include(${CMAKE_SOURCE_DIR}/tests/tools/tools-tests.cmake)
