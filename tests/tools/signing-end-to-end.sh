#!/usr/bin/env bash
# signing-end-to-end.sh SOURCE_DIR BUILD_DIR: signed releases served over HTTPS by the loopback nginx,
# and stamped patchers under Wine taking or refusing them; stamping round trips and refusals.
set -uo pipefail
src=${1:?source dir} build=${2:?build dir}
: "${QIRELL_TEST_WWW:?run through tests/harness/run.sh (no test servers)}"
: "${QIRELL_TEST_HTTPS_PORT:?run through tests/harness/run.sh (no test servers)}"
: "${QIRELL_TEST_NGINX_LOG:?run through tests/harness/run.sh (no test servers)}"
exe="$build/QirellPatcher.exe"
work="$build/signing-e2e"
prefix="signing-e2e-$$"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() { rm -rf "$QIRELL_TEST_WWW/$prefix"; }
trap cleanup EXIT

# The tool, built natively here so the test needs nothing else prepared.
. "$(dirname "${BASH_SOURCE[0]}")/native-tool.sh"
tool=$(native_tool "$src" "$build" "$work.cmake.log") || exit 1

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
"$tool" keygen old >/dev/null 2>&1 && "$tool" keygen new >/dev/null 2>&1 || { echo "FAIL: keygen"; exit 1; }
base="https://localhost:$QIRELL_TEST_HTTPS_PORT/$prefix"
stamp() { local out=$1; shift; "$tool" stamp "$exe" --url "$base/default/manifest.json" "$@" -o "$out" >/dev/null 2>&1; }
stamp p-old.exe --public-key old.pub && stamp p-both.exe --public-key old.pub --public-key new.pub &&
  stamp p-new.exe --public-key new.pub || { echo "FAIL: stamping"; exit 1; }

# publish SITE PATCHER KEY [build options...]: a release holding PATCHER, signed by KEY ("-": unsigned).
publish() {
  local site=$1 patcher=$2 key=$3
  shift 3
  rm -rf "release-$site"
  mkdir -p "release-$site/sub"
  printf 'game data' > "release-$site/data.qpa"
  printf 'new file of %s\n' "$site" > "release-$site/sub/new.txt"
  cp "$patcher" "release-$site/QirellPatcher.exe"
  local sign=()
  [ "$key" = - ] || sign=(--sign "$key")
  "$tool" build "release-$site" --version "$site" "${sign[@]}" "$@" -o "$QIRELL_TEST_WWW/$prefix/$site" \
    >/dev/null 2>&1 || fail "$site: build"
}
# run_game DIR SITE|-: the patcher in DIR under Wine, against SITE's manifest (-: its stamped address).
run_game() {
  local args=(--auto-close)
  [ "$2" = - ] || args+=(--url "$base/$2/manifest.json")
  (cd "$1" && timeout 180 bash "$src/cmake/wine-run.sh" "$1/QirellPatcher.exe" "${args[@]}")
}
# new_game DIR PATCHER: an out-of-date folder (no sub/new.txt) run by PATCHER.
new_game() {
  rm -rf "$1"
  mkdir -p "$1"
  printf 'game data' > "$1/data.qpa"
  cp "$2" "$1/QirellPatcher.exe"
}
# handsign DIR KEY: a signature over DIR/manifest.json made outside the tool, as an older tool made
# them without looking at the patcher the release ships.
handsign() {
  openssl dgst -sha256 -sign "$2" -out "$work/handsign.der" "$1/manifest.json" &&
  python3 - "$work/handsign.der" "$2.pub" "$1/manifest.json.sig" <<'PY'
import hashlib, subprocess, sys
der = open(sys.argv[1], 'rb').read()
i, values = 2, []  # SEQUENCE { INTEGER r, INTEGER s }, both short
while i < len(der):
    n = der[i + 1]
    values.append(int.from_bytes(der[i + 2:i + 2 + n], 'big'))
    i += 2 + n
point = subprocess.run(['openssl', 'pkey', '-pubin', '-in', sys.argv[2], '-outform', 'DER'],
                       capture_output=True, check=True).stdout[-64:]
open(sys.argv[3], 'w').write('qirell-signature 1\nkey %s\necdsa-p256-sha256 %064x%064x\n'
                             % (hashlib.sha256(point).hexdigest()[:16], values[0], values[1]))
PY
}
requests() { grep -c "\"target\":\"/$prefix/$1/manifest.json$2" "$QIRELL_TEST_NGINX_LOG"; }

# Valid, tampered and missing signatures against a patcher that carries the old key.
publish valid p-old.exe old
publish changed p-old.exe old
sed -i 's/"version": "changed"/"version": "Changed"/' "$QIRELL_TEST_WWW/$prefix/changed/manifest.json"
publish otherkey p-new.exe new
publish missing p-old.exe old
rm "$QIRELL_TEST_WWW/$prefix/missing/manifest.json.sig"
publish empty p-old.exe old
: > "$QIRELL_TEST_WWW/$prefix/empty/manifest.json.sig"
publish truncated p-old.exe old
s="$QIRELL_TEST_WWW/$prefix/truncated/manifest.json.sig"
head -c 100 "$s" > "$s.cut" && mv "$s.cut" "$s"
publish oversized p-old.exe old
head -c 4000 /dev/zero | tr '\0' 'a' >> "$QIRELL_TEST_WWW/$prefix/oversized/manifest.json.sig"
publish expired p-old.exe old --expires-days 1
m="$QIRELL_TEST_WWW/$prefix/expired/manifest.json"
sed -i 's/"expires": "[^"]*"/"expires": "2020-01-01T00:00:00Z"/' "$m"
"$tool" sign "$(dirname "$m")" --key old >/dev/null 2>&1 || fail "sign of the expired manifest"
"$tool" verify "$(dirname "$m")" --public-key old.pub >/dev/null 2>&1 && fail "verify took an expired manifest"
publish fresh p-old.exe old --expires-days 30
"$tool" verify "$QIRELL_TEST_WWW/$prefix/fresh" --public-key old.pub >/dev/null 2>&1 || fail "verify of a signed release"
"$tool" verify "$QIRELL_TEST_WWW/$prefix/changed" --public-key old.pub >/dev/null 2>&1 && fail "verify took a changed manifest"

for site in valid fresh changed otherkey missing empty truncated oversized expired; do
  new_game "game-$site" p-old.exe
  run_game "$work/game-$site" "$site"; code=$?
  case $site in
    valid | fresh)
      [ "$code" = 0 ] || fail "$site: exit code $code, not 0"
      cmp -s "game-$site/sub/new.txt" "release-$site/sub/new.txt" || fail "$site: not updated" ;;
    *)
      [ "$code" = 1 ] || fail "$site: exit code $code, not 1"
      [ ! -e "game-$site/sub" ] || fail "$site: the folder was touched" ;;
  esac
  [ "$(requests "$site" '.sig?t=')" = 1 ] || fail "$site: the signature was not fetched once with ?t="
done

# A patcher without keys asks for no signature and takes an unsigned or badly signed release.
publish nokeys "$exe" -
printf 'not a signature\n' > "$QIRELL_TEST_WWW/$prefix/nokeys/manifest.json.sig"
new_game game-nokeys "$exe"
run_game "$work/game-nokeys" nokeys; code=$?
[ "$code" = 0 ] || fail "nokeys: exit code $code, not 0"
[ -e game-nokeys/sub/new.txt ] || fail "nokeys: not updated"
[ "$(requests nokeys '?t=')" = 1 ] || fail "nokeys: the manifest was not fetched"
grep -q "/$prefix/nokeys/manifest.json.sig" "$QIRELL_TEST_NGINX_LOG" && fail "nokeys: a signature was requested"

# The replayed keyless patcher: a manifest correctly signed by the old key ships a patcher without
# keys. The tool refuses to sign such a release; the keyed patcher refuses to install it, keeps its
# own bytes and leaves no side file. The same release shipping a patcher with the key goes through.
publish replay "$exe" -
"$tool" sign "$QIRELL_TEST_WWW/$prefix/replay" --key old >/dev/null 2>&1 && fail "replay: sign took a keyless patcher"
handsign "$QIRELL_TEST_WWW/$prefix/replay" old || fail "replay: signing by hand"
"$tool" verify "$QIRELL_TEST_WWW/$prefix/replay" --public-key old.pub >/dev/null 2>&1 &&
  fail "replay: verify took a keyless patcher"
new_game game-replay p-old.exe
run_game "$work/game-replay" replay; code=$?
[ "$code" = 1 ] || fail "replay: exit code $code, not 1"
cmp -s game-replay/QirellPatcher.exe p-old.exe || fail "replay: the running patcher was changed"
[ ! -e game-replay/QirellPatcher.exe.patch.tmp ] || fail "replay: the side file was left"
[ ! -e game-replay/sub ] || fail "replay: files after the patcher were brought in"
publish replay p-both.exe old
run_game "$work/game-replay" replay || fail "replay with a keyed patcher: the run failed"
cmp -s game-replay/QirellPatcher.exe p-both.exe || fail "replay with a keyed patcher: not installed"

# Key rotation as docs/security.md gives it: the old patcher takes a release signed by the old key that ships a patcher carrying
# both; that one takes the next release, signed by the new key, which ships a patcher with the new
# key only; and that one refuses what the old key signs.
new_game game-rotate p-old.exe
publish rotate p-both.exe old
run_game "$work/game-rotate" rotate || fail "rotation, step 1"
cmp -s game-rotate/QirellPatcher.exe p-both.exe || fail "rotation, step 1: the patcher was not replaced"
publish rotate p-new.exe new
run_game "$work/game-rotate" rotate || fail "rotation, step 2"
cmp -s game-rotate/QirellPatcher.exe p-new.exe || fail "rotation, step 2: the patcher was not replaced"
publish rotate p-old.exe old
run_game "$work/game-rotate" rotate && fail "rotation, step 3: the dropped key was still accepted"

# Rollback: a folder keeps each key's highest sequence. The same one again goes through; a lower one,
# or none from a key that carried one, is refused with nothing touched; another key counts on its own.
# The folder's name is new each time, so no state of an earlier test run is found.
game_rb="$work/game-rollback-$$"
new_game "$game_rb" p-both.exe
rollback_step() {  # rollback_step WHAT EXPECTED-EXIT KEY [build options...]
  local what=$1 want=$2 key=$3
  shift 3
  publish rollback p-both.exe "$key" "$@"
  [ "$key" = - ] && handsign "$QIRELL_TEST_WWW/$prefix/rollback" old
  rm -f "$game_rb/sub/new.txt"
  run_game "$game_rb" rollback
  local code=$?
  [ "$code" = "$want" ] || fail "rollback, $what: exit code $code, not $want"
  if [ "$want" = 0 ]; then [ -f "$game_rb/sub/new.txt" ] || fail "rollback, $what: the update did not run"
  else [ -f "$game_rb/sub/new.txt" ] && fail "rollback, $what: a refused manifest changed the folder"; fi
}
rollback_step "sequence 10" 0 old --sequence 10
rollback_step "the same sequence again" 0 old --sequence 10
rollback_step "a lower sequence" 1 old --sequence 9
rollback_step "no sequence after one" 1 -
rollback_step "another key's first, lower sequence" 0 new --sequence 1
rollback_step "the first key's next sequence" 0 old --sequence 11
rollback_step "the second key going back" 1 new --sequence 0

# Pre-load under keys: the next release is fetched ahead only when it is signed by a key the patcher
# carries and carries a sequence above the live release's; otherwise nothing is staged. The live
# release (sequence 20) changes nothing in the folder after its first run.
game_pl="$work/game-preload-$$"
new_game "$game_pl" p-old.exe
preload_step() {  # preload_step WHAT STAGED-FILES PATCHER KEY-OF-NEXT [options of the next release's build...]
  local what=$1 want=$2 patcher=$3 key=$4
  shift 4
  publish pl-next "$patcher" "$key" "$@"
  publish pl-live p-old.exe old --sequence 20 --next "$base/pl-next/manifest.json"
  run_game "$game_pl" pl-live || fail "pre-load, $what: the live run failed"
  local staged
  staged=$(find "$game_pl/QirellPatcher.preload" -type f 2>/dev/null | wc -l)
  [ "$staged" = "$want" ] || fail "pre-load, $what: $staged files staged, not $want"
}
preload_step "an unsigned next release" 0 p-old.exe -
preload_step "a lower sequence" 0 p-old.exe old --sequence 19
preload_step "the same sequence" 0 p-old.exe old --sequence 20
preload_step "a key the patcher lacks" 0 p-new.exe new --sequence 21
preload_step "a higher sequence" 1 p-old.exe old --sequence 21

# Stamping round trip: the stamped address is used without --url; a restamp replaces address and
# keys whole; only the block and the PE checksum differ from the built image.
publish default p-old.exe old
new_game game-stamped p-old.exe
run_game "$work/game-stamped" - || fail "stamped address: the run failed"
[ -e game-stamped/sub/new.txt ] || fail "stamped address: not updated"
cp p-old.exe restamped.exe
"$tool" stamp restamped.exe --url "$base/restamp/manifest.json" --public-key new.pub -o restamped.exe >/dev/null 2>&1 ||
  fail "restamp in place"
"$tool" stamp restamped.exe --show > show.txt 2>&1
grep -q "^url $base/restamp/manifest.json\$" show.txt || fail "restamp: address not replaced"
[ "$(grep -c '^key ' show.txt)" = 1 ] && grep -q "$("$tool" stamp p-new.exe --show | grep '^key ')" show.txt ||
  fail "restamp: keys not replaced by the new one"
publish restamp restamped.exe new
new_game game-restamped restamped.exe
run_game "$work/game-restamped" - || fail "restamped: the run failed"
[ -e game-restamped/sub/new.txt ] || fail "restamped: not updated"
offset=$(LC_ALL=C grep -obUaF 'QirellStamp#' "$exe" | cut -d: -f1)
[ "$(grep -c . <<<"$offset")" = 1 ] || fail "the built image does not hold exactly one block"
outside=$(LC_ALL=C cmp -l "$exe" restamped.exe | awk -v lo="$offset" -v hi="$((offset + 2560))" '
  ($1 - 1 < lo || $1 - 1 >= hi) { n++ } END { print n + 0 }')
[ "$outside" -le 4 ] || fail "stamping changed $outside bytes outside the block and the checksum"
python3 - "$exe" restamped.exe <<'PY' || fail "the stamped image's PE checksum is wrong"
import struct, sys
def wrong(name):
    b = bytearray(open(name, 'rb').read())
    size = len(b)
    field = struct.unpack_from('<I', b, 0x3c)[0] + 24 + 64
    stored = struct.unpack_from('<I', b, field)[0]
    b[field:field + 4] = bytes(4)
    if len(b) % 2: b.append(0)
    total = 0
    for (word,) in struct.iter_unpack('<H', b):
        total += word
        total = (total & 0xffff) + (total >> 16)
    return stored != 0 and stored != total + size
sys.exit(any(wrong(name) for name in sys.argv[1:]))
PY

# Refusals: another program, a non-http address, a private or broken key, five keys, a signed image.
refuse() {
  local label=$1
  shift
  "$tool" stamp "$@" -o refused.exe >/dev/null 2>&1 && fail "stamp took $label"
  [ ! -e refused.exe ] || fail "stamp wrote refused.exe for $label"
  rm -f refused.exe
}
refuse "a program without the block" "$build/tools/stub-client/stub-client.exe" --url "$base/x"
refuse "an ftp address" "$exe" --url ftp://localhost/manifest.json
refuse "an address without host" "$exe" --url https:///manifest.json
refuse "a private key" "$exe" --url "$base/x" --public-key old
printf -- '-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n' > broken.pub
refuse "a broken key" "$exe" --url "$base/x" --public-key broken.pub
"$tool" keygen third >/dev/null 2>&1 && "$tool" keygen fourth >/dev/null 2>&1 && "$tool" keygen fifth >/dev/null 2>&1
refuse "five keys" "$exe" --url "$base/x" --public-key old.pub --public-key new.pub --public-key third.pub \
  --public-key fourth.pub --public-key fifth.pub
python3 - "$exe" signed.exe <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', b, 0x3c)[0]
struct.pack_into('<II', b, pe + 24 + 112 + 4 * 8, len(b), 8)  # a certificate table entry
open(sys.argv[2], 'wb').write(b + bytes(8))
PY
refuse "an Authenticode-signed image" signed.exe --url "$base/x"

# The Windows build of the tool (CNG) stamps the same bytes, and its keys and signatures and those of
# the Linux build (libcrypto) are interchangeable.
winexe="$build/tools/qirell-manifest/qirell-manifest.exe"
[ -f "$winexe" ] || fail "the Windows tool was not built ($winexe)"
if [ -f "$winexe" ]; then
  cp "$exe" built.exe
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" stamp built.exe --url "$base/default/manifest.json" \
    --public-key old.pub -o p-old-win.exe >/dev/null 2>&1
  cmp -s p-old-win.exe p-old.exe || fail "the Windows tool stamped other bytes"
  cp -r "$QIRELL_TEST_WWW/$prefix/valid" win-valid && cp -r "$QIRELL_TEST_WWW/$prefix/changed" win-changed
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" verify win-valid --public-key old.pub >/dev/null 2>&1 ||
    fail "the Windows tool refused a valid signature"
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" verify win-changed --public-key old.pub >/dev/null 2>&1 &&
    fail "the Windows tool took a changed manifest"
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" keygen winkey >/dev/null 2>&1 || fail "the Windows tool's keygen"
  cp winkey winkey.before
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" keygen winkey >/dev/null 2>&1 && fail "the Windows keygen ran over a key"
  cmp -s winkey winkey.before || fail "the Windows keygen changed an existing key"
  cp -r release-valid win-release && rm win-release/QirellPatcher.exe
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" build win-release --version w --sign winkey -o win-signed \
    >/dev/null 2>&1 || fail "the Windows tool's build --sign"
  "$tool" verify win-signed --public-key winkey.pub >/dev/null 2>&1 || fail "a Windows key and signature, checked on Linux"
  timeout 120 bash "$src/cmake/wine-run.sh" "$winexe" sign win-signed --key old >/dev/null 2>&1 ||
    fail "the Windows tool's sign with a Linux key"
  "$tool" verify win-signed --public-key old.pub >/dev/null 2>&1 || fail "a Linux key used by the Windows tool"
fi

[ "$failures" = 0 ] && echo "signing end to end: ok"
exit $(( failures > 0 ))
