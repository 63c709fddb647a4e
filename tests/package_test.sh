#!/bin/bash
# Builds the release artifacts twice with scripts/package.sh, from two clean
# clones of HEAD in different folders, under time zones 26 hours apart (so a
# different calendar day) and different umasks, and requires the same
# SHA256SUMS. Then checks the first build: the checksums, every archive's
# file list, the zips' CRLF README and machine types, lintian on the .deb,
# the installed tool through an encrypt/peek/decrypt round trip, and the man
# page rendered with every groff warning on.
# Only committed files are in the clones. Exit status 0 when all holds.
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
if [[ -n $(git -C "$repo" status --porcelain --untracked-files=no) ]]; then
  echo "note: uncommitted changes are not tested, only commit ${commit:0:12}"
fi

# Cloning from a worktree checks out the main branch; take HEAD's commit.
package() {
  local dir=$1 tz=$2 mask=$3 started=$SECONDS
  git clone -q --no-checkout "$repo" "$dir"
  git -C "$dir" checkout -q --detach "$commit"
  (umask "$mask" && cd "$dir" && TZ=$tz scripts/package.sh) >"$dir.log" 2>&1 ||
    { tail -n 30 "$dir.log"; fail "scripts/package.sh failed in $dir"; }
  echo "scripts/package.sh in $dir: $((SECONDS - started)) s"
}
a=$work/a/tavo
b=$work/second-clone/deeper/tavo-copy
package "$a" Etc/GMT+12 022
package "$b" Etc/GMT-14 077
if ! cmp -s "$a/dist/SHA256SUMS" "$b/dist/SHA256SUMS"; then
  diff "$a/dist/SHA256SUMS" "$b/dist/SHA256SUMS" || true
  fail "the two builds differ (diffoscope shows where)"
fi

cd "$a/dist"
sha256sum --quiet --strict -c SHA256SUMS || fail "SHA256SUMS does not verify"

# The version the program reports names every artifact.
deb=("$PWD"/*.deb)
root=$work/root
dpkg-deb -x "${deb[0]}" "$root"
tavo=$root/usr/bin/tavo
version=$("$tavo" | tr -d '\r' | sed -n 's/^tavo \(.*\) version .*/\1/p') || true
deb_version=$(dpkg-deb -f "${deb[0]}" Version)
[[ -n $version && ${deb_version//\~/} == "$version" ]] ||
  fail "the package version $deb_version does not match the program's $version"
numbers=${version%%[!0-9.]*}
if [[ $numbers != "$version" ]] && ! dpkg --compare-versions "$deb_version" lt "$numbers"; then
  fail "$deb_version does not sort before the final release $numbers"
fi
expected="SHA256SUMS
tavo-$version-linux-x86_64.tar.gz
tavo-$version-windows-x64.zip
tavo-$version-windows-x86.zip
tavo_${deb_version}_amd64.deb"
[[ $(ls) == "$expected" ]] || fail "dist/ holds $(ls | tr '\n' ' ')"
sums=$(cut -d' ' -f3 SHA256SUMS)
[[ $sums == "$(grep -v SHA256SUMS <<<"$expected")" ]] || fail "SHA256SUMS covers $sums"

same_list() { # WHAT ACTUAL EXPECTED
  [[ $2 == "$3" ]] || { printf '%s\n' "$2"; fail "$1 holds the files above"; }
}
for arch in x86:i386 x64:x86-64; do
  zip=tavo-$version-windows-${arch%%:*}.zip
  top=${zip%.zip}
  same_list "$zip" "$(unzip -Z1 "$zip")" "$top/LICENSE.txt
$top/README.txt
$top/tavo.exe
$top/tavoui.exe"
  unzip -q "$zip" -d "$work/zip"
  ! grep -qv $'\r$' "$work/zip/$top/README.txt" || fail "$zip: a README line does not end in CRLF"
  grep -q 'not cryptography' "$work/zip/$top/README.txt" || fail "$zip: README lacks the warning"
  for exe in tavo tavoui; do
    objdump -f "$work/zip/$top/$exe.exe" | grep -q "file format pei-${arch#*:}$" ||
      fail "$zip: $exe.exe is not a ${arch#*:} program"
  done
done

top=tavo-$version-linux-x86_64
same_list "$top.tar.gz" "$(tar -tzf "$top.tar.gz")" "$top/
$top/LICENSE
$top/README
$top/tavo
$top/tavo.1"

same_list "${deb[0]}" "$(dpkg-deb -c "${deb[0]}" | awk '$1 !~ /^d/ { print $6 }')" \
  "./usr/bin/tavo
./usr/share/doc/tavo/README
./usr/share/doc/tavo/changelog.gz
./usr/share/doc/tavo/copyright
./usr/share/man/man1/tavo.1.gz"

# The installed tool: encrypt with a record, peek, decrypt (exit code 1 is
# success), and the file is back byte for byte.
cd "$work"
seq 1 20000 >sample.txt
cp sample.txt original.txt
run() {
  local code=0
  "$tavo" "$@" >/dev/null || code=$?
  ((code == 1)) || fail "installed tavo $* exited with $code"
}
run sample.txt en 3 42
! cmp -s sample.txt original.txt || fail "en left sample.txt unchanged"
run sample.txt x=xxx
run sample.txt de 3 42
cmp -s sample.txt original.txt || fail "en then de did not restore sample.txt"

# man passes -ww to groff with --warnings; any message fails.
man_errors=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/tavo.1.gz" 2>&1 >/dev/null)
[[ -z $man_errors ]] || fail "man page warnings: $man_errors"
# Last, as it is the slowest check.
lintian --fail-on error,warning "${deb[0]}" || fail "lintian: errors or warnings above"
echo "package test passed: identical SHA256SUMS from two clones"
