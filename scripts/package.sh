#!/bin/bash
# Builds the release artifacts of this tree into dist/:
#   tavo-VERSION-windows-x86.zip, tavo-VERSION-windows-x64.zip,
#   tavo_DEBVERSION_amd64.deb, tavo-VERSION-linux-x86_64.tar.gz, SHA256SUMS.
# The build is reproducible: the same commit gives the same bytes in any
# folder, on any day, under any time zone or umask (tests/package_test.sh
# checks this). Every build starts from scratch in build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
started=$SECONDS

version=$(sed -n 's/^#define TAVO_VERSION_TEXT "\(.*\)"$/\1/p' engine/include/tavo/version.h)
[[ -n $version ]] || { echo "no TAVO_VERSION_TEXT in version.h" >&2; exit 1; }
# "~" sorts before anything in Debian versions, so 0.5~beta comes before 0.5.
deb_version=$(sed 's/^\([0-9.]*\)\([^0-9.]\)/\1~\2/' <<<"$version")

# The dates inside the artifacts are the last commit's; the rest of the
# environment that leaks into archives is pinned as well.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
  echo "warning: uncommitted changes; the artifacts will not match the last commit" >&2
fi

build=$src/build/package
stage=$build/stage
rm -rf "$build" dist
mkdir -p "$stage" dist

# Configures, builds and installs (stripped) one target into $stage/NAME.
# The source folder is mapped away so that no path of this machine ends up in
# a binary. CXXFLAGS and LDFLAGS only add to the flags of the build type and
# the toolchain file.
build_one() {
  local name=$1 cxxflags=$2 ldflags=$3
  shift 3
  echo "building $name"
  CXXFLAGS="-ffile-prefix-map=$src/= $cxxflags" LDFLAGS="$ldflags" \
    cmake -S . -B "$build/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCHMARKS=OFF "$@" >"$build/$name.log"
  cmake --build "$build/$name" -j2 >>"$build/$name.log"
  cmake --install "$build/$name" --prefix "$stage/$name" --strip >>"$build/$name.log"
}
# The Linux program gets the hardening lintian looks for (fortified libc calls,
# read-only relocations bound at start); the Windows programs no link
# time in their PE header (Debian's strip then writes SOURCE_DATE_EPOCH there).
build_one linux -D_FORTIFY_SOURCE=2 -Wl,-z,relro,-z,now
build_one win32 "" -Wl,--no-insert-timestamp -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
build_one win64 "" -Wl,--no-insert-timestamp -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake

# The README of the archives is the manual as plain text, without hyphenation.
groff -t -man -Tascii -P-cbou -rHY=0 "$build/linux/tavo.1" >"$build/README"
# The zips' README.txt begins with what Windows users need first: cmd
# examples, the dialog's buttons, the console window and Send To. It names
# the Chinese buttons too, so it is UTF-8 with a byte order mark, which every
# Notepad reads as such.
{ printf '\357\273\277'; cat docs/README-windows.txt "$build/README"; } >"$build/README.txt"
crlf() { sed 's/$/\r/' "$1"; }

# Archive members get fixed permissions and the commit's time.
normalise() {
  find "$1" -type d -exec chmod 0755 {} +
  find "$1" -type f -exec chmod 0644 {} +
  find "$1" -type f -path '*/bin/*' -exec chmod 0755 {} +
  find "$1" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
}

for arch in x86 x64; do
  name=tavo-$version-windows-$arch
  dir=$stage/zip/$name
  mkdir -p "$dir"
  from=$stage/win32
  [[ $arch == x64 ]] && from=$stage/win64
  cp "$from/bin/tavo.exe" "$from/bin/tavoui.exe" "$dir/"
  crlf "$build/README.txt" >"$dir/README.txt"
  crlf LICENSE >"$dir/LICENSE.txt"
  normalise "$dir"
  chmod 0755 "$dir/"*.exe
  # -X leaves out the owner and extra time fields; -D writes no folder entries.
  (cd "$stage/zip" && find "$name" -type f | sort | zip -q -X -D -9 "$src/dist/$name.zip" -@)
done

name=tavo-$version-linux-x86_64
dir=$stage/tar/$name
mkdir -p "$dir"
cp "$stage/linux/bin/tavo" "$stage/linux/share/man/man1/tavo.1" "$dir/"
cp "$build/README" "$dir/README"
cp LICENSE "$dir/LICENSE"
normalise "$dir"
chmod 0755 "$dir/tavo"
tar --sort=name --format=gnu --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  -C "$stage/tar" -cf - "$name" | gzip -9n >"dist/$name.tar.gz"

# The Debian package, assembled by hand: one binary package needs no debian/
# source tree.
root=$stage/deb
doc=$root/usr/share/doc/tavo
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$doc"
cp "$stage/linux/bin/tavo" "$root/usr/bin/"
gzip -9n <"$stage/linux/share/man/man1/tavo.1" >"$root/usr/share/man/man1/tavo.1.gz"
cp "$build/README" "$doc/README"
date=$(date -R --date="@$SOURCE_DATE_EPOCH")
maintainer="tavo developers <tavo@example.com>"
homepage=$(sed -n 's/^#define TAVO_WEB_ADDRESS "\(.*\)"$/\1/p' engine/include/tavo/version.h)
# A native package (no Debian revision) keeps its changelog as changelog.gz.
gzip -9n >"$doc/changelog.gz" <<EOF
tavo ($deb_version) unstable; urgency=medium

  * Release $version.

 -- $maintainer  $date
EOF
{
  cat <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tavo
Source: $homepage

Files: *
Copyright: $(sed -n 's/^Copyright (c) //p' LICENSE)
License: Expat
EOF
  # The licence text, in the copyright file's indented form.
  sed -e '1,/^Copyright/d' -e 's/^$/./' -e 's/^/ /' LICENSE | sed '1{/^ \.$/d}'
} >"$doc/copyright"
# dpkg-shlibdeps wants a debian/control to read; the library versions come
# from the symbols the binary uses.
mkdir -p "$build/shlibs/debian"
printf 'Source: tavo\n\nPackage: tavo\nArchitecture: amd64\n' >"$build/shlibs/debian/control"
depends=$(cd "$build/shlibs" && dpkg-shlibdeps -O "$root/usr/bin/tavo" | sed -n 's/^shlibs:Depends=//p')
normalise "$root"
# Installed-Size as dpkg-gencontrol counts it: KiB per file, rounded up, plus
# one per folder; from the sizes, not the blocks of this file system.
size=$(find "$root" -path "$root/DEBIAN" -prune -o -type f -printf '%s\n' -o -type d -printf '1024\n' |
  awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
cat >"$root/DEBIAN/control" <<EOF
Package: tavo
Version: $deb_version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $size
Depends: $depends
Section: utils
Priority: optional
Homepage: $homepage
Description: reversible in-place file scrambler (not cryptography)
 tavo rewrites a file's bytes in place with one of four reversible byte
 transforms (add, subtract, XOR, NOT) keyed by a one-byte factor, and can
 append a 512-byte record that names the transform, so that undoing it with
 the wrong settings is refused.
 .
 It keeps a file from being read at a glance; it is not encryption.
EOF
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
normalise "$root/DEBIAN"
dpkg-deb --root-owner-group -Zxz --build "$root" "dist/tavo_${deb_version}_amd64.deb" >/dev/null

sums=$(cd dist && sha256sum -- *)
echo "$sums" >dist/SHA256SUMS
ls -l dist | tail -n +2
echo "packaged in $((SECONDS - started)) s (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
