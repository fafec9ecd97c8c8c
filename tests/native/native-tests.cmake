# Native unit tests, built with the sanitizer flags that scripts/native.sh sets.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest-native EXCLUDE_FROM_ALL)

# qirell_native_test(name source...): one binary over the platform-free code, one CTest test.
function(qirell_native_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE qirell_portable gtest gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

set(T ${CMAKE_SOURCE_DIR}/tests)
qirell_native_test(manifest_native_tests ${T}/manifest/JsonTests.cpp ${T}/manifest/ManifestTests.cpp
  ${T}/manifest/DownloadMemberTests.cpp ${T}/manifest/PathRuleTests.cpp)
qirell_native_test(trust_native_tests ${T}/trust/SignatureTests.cpp ${T}/trust/SequenceTests.cpp)
qirell_native_test(net_native_tests ${T}/net/RangeRulesTests.cpp)
qirell_native_test(fetch_native_tests ${T}/fetch/PaceTests.cpp)
qirell_native_test(delta_native_tests ${T}/delta/BlockMatchTests.cpp)
qirell_native_test(patch_native_tests ${T}/patch/SpaceCheckTests.cpp)
qirell_native_test(state_native_tests ${T}/state/FolderStateTests.cpp)
