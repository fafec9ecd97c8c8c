#!/usr/bin/env bash
# Native (Linux, clang) build of the platform-free code: unit tests under ASan/UBSan and the fuzzers.
#   native.sh test          configure, build, run the native tests, then fuzz for ${FUZZ_SECONDS:-20} s
#   native.sh fuzz [SECS]   fuzz longer (default 300 s), keeping the grown corpus in the build dir
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-native"
SEEDS="$ROOT/tests/native/corpus"
SAN="-fsanitize=address,undefined -fno-sanitize-recover=all"

configure_and_build() {
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$SAN -fno-omit-frame-pointer -Wall -Wextra" \
    -DCMAKE_C_FLAGS="$SAN -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$SAN" -DQIRELL_FUZZ=ON >/dev/null
  cmake --build "$BUILD" -j2 "$@"
}

# run_fuzzer SECONDS CORPUS_DIR
run_fuzzer() {
  mkdir -p "$BUILD/fuzz-artifacts"
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$BUILD/fuzz_manifest" "$2" -max_total_time="$1" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -dict="$ROOT/tests/native/manifest.dict" -artifact_prefix="$BUILD/fuzz-artifacts/" \
    -print_final_stats=1
}

# run_other_fuzzers SECONDS_EACH CORPUS_ROOT: the path-rule, option-repair, tool-name, signature-file,
# content-range, block-map and state targets.
run_other_fuzzers() {
  local name
  for name in path_rule option_repair tool_names signature_file content_range block_map state; do
    [ -x "$BUILD/fuzz_$name" ] || continue
    mkdir -p "$2/$name"
    cp -n "$ROOT/tests/fuzz/corpus/$name"/* "$2/$name"/ 2>/dev/null || true
    ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$BUILD/fuzz_$name" "$2/$name" -max_total_time="$1" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$BUILD/fuzz-artifacts/" -print_final_stats=1
  done
}

case "${1:-test}" in
  test)
    configure_and_build
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$BUILD" --output-on-failure
    rm -rf "$BUILD/fuzz-corpus-seeds"
    cp -r "$SEEDS" "$BUILD/fuzz-corpus-seeds"
    run_fuzzer "${FUZZ_SECONDS:-20}" "$BUILD/fuzz-corpus-seeds"
    run_other_fuzzers "${FUZZ_OTHER_SECONDS:-6}" "$BUILD/fuzz-corpus-seeds"
    ;;
  fuzz)
    configure_and_build
    mkdir -p "$BUILD/fuzz-corpus"
    cp -n "$SEEDS"/* "$BUILD/fuzz-corpus"/
    run_fuzzer "${2:-300}" "$BUILD/fuzz-corpus"
    run_other_fuzzers "$(( ${2:-300} / 2 ))" "$BUILD/fuzz-corpus-other"
    ;;
  *)
    echo "usage: $0 test | fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
