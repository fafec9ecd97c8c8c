# Sourced by the end-to-end scripts. native_tool SOURCE_DIR BUILD_DIR LOG: builds the manifest tool
# natively in BUILD_DIR/tool-native (one build per build folder) and prints its path; exits on failure.
native_tool() {
  local src=$1 tooldir="$2/tool-native" log=$3 compiler
  compiler=$(command -v clang++ || command -v g++)
  timeout 300 cmake -S "$src" -B "$tooldir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 &&
    timeout 300 cmake --build "$tooldir" -j2 --target qirell-manifest >>"$log" 2>&1 ||
    { cat "$log" >&2; echo "FAIL: the native manifest tool did not build" >&2; exit 1; }
  echo "$tooldir/tools/qirell-manifest/qirell-manifest"
}
