#!/usr/bin/env bash
# end-to-end.sh SOURCE_DIR BUILD_DIR: publishes two releases with the native manifest tool into the
# test servers' root, then lets the patcher under Wine bring an out-of-date game folder up to the second.
set -uo pipefail
src=${1:?source dir} build=${2:?build dir}
: "${QIRELL_TEST_WWW:?run through tests/harness/run.sh (no test servers)}"
: "${QIRELL_TEST_HTTP_PORT:?run through tests/harness/run.sh (no test servers)}"
exe="$build/QirellPatcher.exe"
work="$build/tool-e2e"
site="tool-e2e-$$"
www="$QIRELL_TEST_WWW/$site"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() { rm -rf "$www"; }
trap cleanup EXIT

# The tool, built natively here so the test needs nothing else prepared.
. "$(dirname "${BASH_SOURCE[0]}")/native-tool.sh"
tool=$(native_tool "$src" "$build" "$work.cmake.log") || exit 1

rm -rf "$work"
mkdir -p "$work"
v1="$work/release-1" v2="$work/release-2" game="$work/game"
mkdir -p "$v1/sub/deep" "$v1/gone/inner" "$v2/sub/deep" "$v2/new folder"
head -c 300000 /dev/urandom > "$v1/data.qpa"
head -c 300001 /dev/urandom > "$v2/data.qpa"
printf 'same in both\n' | tee "$v1/sub/same.txt" > "$v2/sub/same.txt"
printf 'one\n' > "$v1/sub/deep/changed.txt"
printf 'two\n' > "$v2/sub/deep/changed.txt"
printf 'x' > "$v1/gone.txt"
printf 'y' > "$v1/gone/inner/old.bin"
printf 'ไทย\n' > "$v2/new folder/ไฟล์ใหม่.txt"
# Legal but awkward names: each needs an escaped address to reach the server unchanged.
mkdir -p "$v2/odd names" "$v2/แผนที่ เมือง"
printf 'percent\n' > "$v2/odd names/50% off #1 + more.txt"
printf 'plus\n' > "$v2/odd names/a+b=c (copy) ~ok.txt"
printf 'thai\n' > "$v2/แผนที่ เมือง/ถนน #2 ข้าวสาร.dat"
long="$v2"
for part in "a long folder name with spaces number one" "ชื่อโฟลเดอร์ภาษาไทยที่ยาวมาก สอง" \
            "third level, with commas; and semicolons" "fourth level of the long path 0123456789" \
            "and a fifth one so the whole path is well past 260"; do
  long="$long/$part"
done
mkdir -p "$long"
printf 'deep\n' > "$long/the file at the end of a path longer than two hundred and sixty.txt"
# A linked folder: players get real copies of what it leads to.
ln -s sub "$v2/sub link"
# A folder the old release listed and the new one does not: players keep what they put there.
mkdir -p "$v1/screens"
printf 'listed' > "$v1/screens/readme.txt"
cp "$exe" "$v1/QirellPatcher.exe"; printf 'older build' >> "$v1/QirellPatcher.exe"
cp "$exe" "$v2/QirellPatcher.exe"

"$tool" build "$v1" --version 1 -o "$work/published-1" || fail "build of release 1"
"$tool" build "$v2" --version 2 --previous "$work/published-1/manifest.json" --remove-dir gone -o "$www" ||
  fail "build of release 2"
"$tool" verify "$www" || fail "verify of the published folder"
grep -q '"gone.txt"' "$www/manifest.json" || fail "gone.txt not in delete_files"
grep -q '"gone"' "$www/manifest.json" || fail "gone not in delete_dirs"
grep -q '"screens"' "$www/manifest.json" && fail "screens, never named, is in delete_dirs"

# The Windows build of the tool writes the same bytes as the Linux one.
winexe="$build/tools/qirell-manifest/qirell-manifest.exe"
[ -f "$winexe" ] || fail "the Windows tool was not built ($winexe)"
if [ -f "$winexe" ]; then
  (cd "$work" && timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" build release-2 --version 2 \
     --previous published-1/manifest.json --remove-dir gone -o published-win) || fail "the Windows tool's build"
  cmp -s "$work/published-win/manifest.json" "$www/manifest.json" || fail "the Windows tool wrote another manifest"
  # Over its own earlier output: Windows has no exchange of two folders, the old one is moved aside.
  printf 'stale' > "$work/published-win/files/stale.bin"
  (cd "$work" && timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" build release-2 --version 2 \
     --previous published-1/manifest.json --remove-dir gone -o published-win) || fail "the Windows tool's rebuild"
  [ ! -e "$work/published-win/files/stale.bin" ] || fail "the Windows tool's rebuild kept a stale file"
  [ -z "$(ls -A "$work" | grep -e staging -e replaced)" ] || fail "the Windows tool left a staging folder"
  (cd "$work" && timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" verify published-win) ||
    fail "the Windows tool's verify"
fi

cp -a "$v1" "$game"
chmod a-w "$game/sub/deep/changed.txt"
printf 'mine' > "$game/screens/shot-0001.png"
url="http://localhost:$QIRELL_TEST_HTTP_PORT/$site/manifest.json"

run_patcher() {
  (cd "$game" && timeout 180 bash "$src/cmake/wine-run.sh" "$game/QirellPatcher.exe" --auto-close --url "$url")
}

# The game folder holds exactly what release 2 lists, and nothing that was removed.
check_folder() {
  local label=$1
  (cd "$v2" && find -L . -type f -print0 | sort -z | xargs -0 sha256sum) > "$work/expected.txt"
  (cd "$game" && sha256sum --quiet -c "$work/expected.txt") || fail "$label: files differ from release 2"
  [ ! -e "$game/gone.txt" ] || fail "$label: gone.txt still there"
  [ ! -e "$game/gone" ] || fail "$label: folder gone still there"
  [ ! -e "$game/screens/readme.txt" ] || fail "$label: screens/readme.txt still there"
  [ "$(cat "$game/screens/shot-0001.png" 2>/dev/null)" = mine ] || fail "$label: the player's screenshot is gone"
  [ -z "$(find "$game" -name '*.patch.tmp')" ] || fail "$label: side files left behind"
}

run_patcher; code=$?
[ "$code" = 0 ] || fail "first run exit code $code"
check_folder "first run"
cmp -s "$game/QirellPatcher.exe" "$exe" || fail "the patcher did not replace itself"

# A second start finds the folder current and clears what the self-update left.
before=$(cd "$game" && find . -type f -newer "$work/expected.txt" | grep -v -e '^./savedata/' -e '\.old$' | sort)
run_patcher; code=$?
[ "$code" = 0 ] || fail "second run exit code $code"
check_folder "second run"
after=$(cd "$game" && find . -type f -newer "$work/expected.txt" | grep -v -e '^./savedata/' -e '\.old$' | sort)
[ "$before" = "$after" ] || fail "second run changed files: $after"
[ ! -e "$game/QirellPatcher.exe.old" ] || fail "QirellPatcher.exe.old not removed by the next start"

# A damaged publication is caught by verify, and the patcher refuses it without touching the folder.
printf 'tampered' > "$www/files/sub/same.txt"
"$tool" verify "$www" >/dev/null && fail "verify missed a tampered file"
echo changed >> "$game/sub/same.txt"
run_patcher; code=$?
[ "$code" = 1 ] || fail "run against a tampered file ended with $code, not 1"
grep -q changed "$game/sub/same.txt" || fail "the local file was replaced by a file that failed its check"

[ "$failures" = 0 ] && echo "tool end to end: ok"
exit $(( failures > 0 ))
