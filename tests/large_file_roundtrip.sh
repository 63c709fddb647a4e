#!/bin/sh
# Encrypts and decrypts a sparse file of 4 GiB + 1000 bytes in place and checks
# the bytes on both sides of 2^31 and 2^32, the appended record and the final
# size: proof that offsets and sizes past 32 bits work, above all in the
# 32-bit Windows build. Needs about 4 GiB of free disk space in SCRATCH_DIR,
# which is deleted afterwards.
# usage: large_file_roundtrip.sh SCRATCH_DIR COMMAND...
#   COMMAND is the program with any runner in front of it, for example
#   wine-run.sh win32 PREFIX tavo.exe
set -eu
scratch=$1
shift
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

size=$((4 * 1024 * 1024 * 1024 + 1000))
# Each marker straddles a boundary where a 32-bit position would go wrong.
markers="0 $(((1 << 31) - 2)) $(((1 << 32) - 2)) $((size - 4))"
zero_probe=$((3 << 30))

put() { printf '%s' "$2" | dd of=big.bin bs=1 seek="$1" conv=notrunc status=none; }
get() { dd if=big.bin bs=1 skip="$1" count="$2" status=none; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
expect() { # offset count expected-bytes what
  got=$(get "$1" "$2")
  [ "$got" = "$3" ] || fail "$4: bytes at $1 are '$got', expected '$3'"
}
run() { # expected output line, then arguments
  line=$1
  shift
  started=$(date +%s)
  set +e
  "$@" >out.txt
  rc=$?
  set -e
  echo "$* -> exit $rc in $(($(date +%s) - started)) s"
  [ "$rc" -eq 1 ] || fail "$*: exit code $rc, expected 1"
  grep -qxF "$(printf '%s\r' "$line")" out.txt || fail "$*: no line '$line' in: $(cat out.txt)"
}

truncate -s "$size" big.bin
for at in $markers; do put "$at" ABCD; done

run "tavo en file(big.bin) ok." "$@" big.bin en 3 7
[ "$(stat -c %s big.bin)" -eq $((size + 512)) ] || fail "size after en is $(stat -c %s big.bin)"
# 'A' ^ 7 = 'F', 'B' ^ 7 = 'E', 'C' ^ 7 = 'D', 'D' ^ 7 = 'C'; a zero byte becomes 7.
for at in $markers; do expect "$at" 4 FEDC "en"; done
[ "$(get $zero_probe 1 | od -An -tx1 | tr -d ' ')" = 07 ] || fail "en: zero byte not XORed"
record=$size
expect $((record + 2)) 2 ta "record magic"
expect $((record + 261)) 2 vo "record magic"
[ "$(get $((record + 259)) 2 | od -An -tx1 | tr -d ' ')" = 0307 ] || fail "record way/factor"

run "tavo de file(big.bin) ok." "$@" big.bin de 3 7
[ "$(stat -c %s big.bin)" -eq "$size" ] || fail "size after de is $(stat -c %s big.bin)"
for at in $markers; do expect "$at" 4 ABCD "de"; done
[ "$(get $zero_probe 1 | od -An -tx1 | tr -d ' ')" = 00 ] || fail "de: byte not restored to zero"
echo "large file round trip ok"
