#!/bin/bash
# Installs what building and testing tavo needs on Debian 12, target by
# target, and returns at once when all of it is present:
#   scripts/install-deps.sh                  everything
#   scripts/install-deps.sh console          the console tool alone (scripts/demo.sh)
#   scripts/install-deps.sh native mingw-i686  what those presets (or targets) need
#   scripts/install-deps.sh --list native    prints those packages, one a line
# A name is a target below or a preset of CMakePresets.json (or "package",
# the release step of scripts/test.sh), which stands for its targets.
# Installing needs root; anyone else gets the command to run and exit code 1.
# tests/deps_test.py checks these lists against what the CMake files and the
# scripts look for, so each target's list must be complete on its own.
set -euo pipefail

targets=(console tests bench sanitizers linux-i686 windows dialog package)
declare -A needs=(
  # the console tool and the engine: scripts/demo.sh, every Linux build
  [console]="cmake ninja-build g++ libxxhash-dev"
  # the Linux builds' tests: GoogleTest sources, the end-to-end and fault
  # runs (strace, /usr/bin/time, scratch file systems, FUSE, chattr, the
  # locales of the code-page cases), script(1) for terminals, git for the
  # dependency check's list of scripts
  [tests]="googletest libgtest-dev python3 strace time bsdutils e2fsprogs util-linux coreutils
           locales bindfs fuse3 git"
  [bench]="libbenchmark-dev hyperfine linux-perf time"
  # the asan and fuzz presets
  [sanitizers]="clang libclang-rt-14-dev"
  # 32-bit Linux build; its tests run through qemu where the kernel runs no
  # 32-bit programs
  [linux-i686]="g++-multilib qemu-user-static"
  # Windows builds and Wine to run them (wine32 needs the i386 architecture)
  [windows]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
             binutils-mingw-w64-x86-64 wine wine32:i386 wine64"
  # dialog tests: virtual display, Chinese font, screenshots (docs/screenshot.sh)
  [dialog]="xvfb xauth x11-utils fonts-wqy-microhei imagemagick file"
  # release packages (scripts/package.sh) and their test
  [package]="git zip unzip dpkg-dev groff-base man-db lintian"
)
declare -A preset_targets=(
  [native]="console tests bench"
  [release]="console tests bench"
  [asan]="console tests sanitizers"
  [fuzz]="console tests sanitizers"
  [linux-i686]="console tests linux-i686"
  [mingw-i686]="console tests windows dialog"
  [mingw-x86_64]="console tests windows dialog"
  [package]="console windows package"
)

list=false
if [[ ${1:-} == --list ]]; then
  list=true
  shift
fi
names=("$@")
[[ ${#names[@]} -gt 0 ]] || names=("${targets[@]}")

packages=()
for name in "${names[@]}"; do
  if [[ -n ${preset_targets[$name]:-} ]]; then
    for target in ${preset_targets[$name]}; do
      read -r -a more <<<"${needs[$target]//$'\n'/ }"
      packages+=("${more[@]}")
    done
  elif [[ -n ${needs[$name]:-} ]]; then
    read -r -a more <<<"${needs[$name]//$'\n'/ }"
    packages+=("${more[@]}")
  else
    echo "install-deps.sh: unknown target or preset '$name'" >&2
    echo "targets: ${targets[*]}; presets: ${!preset_targets[*]}" >&2
    exit 2
  fi
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == *" ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

# Only Wine's 32-bit half comes from the i386 architecture.
foreign=false
[[ " ${missing[*]}" == *:i386* ]] && foreign=true
command="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
$foreign && command="dpkg --add-architecture i386 && $command"
if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "run as root: $command" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
if $foreign; then dpkg --add-architecture i386; fi
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
