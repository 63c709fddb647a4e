#!/bin/bash
# Installs everything that building and testing tavo needs on Debian 12:
# native compilers and GoogleTest sources, mingw-w64 for the Windows builds,
# 32- and 64-bit Wine to run them, Xvfb and fonts for the dialog tests, and
# the tools the test scripts and the release packaging call. Returns at once
# when all is present.
# Installing needs root; anyone else gets the command to run and exit code 1.
set -euo pipefail

packages=(
  # Linux builds, sanitizers, fuzzers, tests, benchmarks
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
  libxxhash-dev
  python3 hyperfine strace linux-perf time bsdutils
  # Windows builds and Wine to run them (wine32 needs the i386 architecture)
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  # dialog tests: virtual display, Chinese font, screenshots
  xvfb xauth x11-utils fonts-wqy-microhei imagemagick
  # scratch file systems, truncate/dd/flock, code pages
  e2fsprogs util-linux coreutils locales bindfs fuse3
  # release packages (scripts/package.sh) and their test
  git zip unzip dpkg-dev groff-base man-db lintian
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == *" ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

command="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "run as root: $command" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
dpkg --add-architecture i386
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
