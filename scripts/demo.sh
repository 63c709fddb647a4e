#!/bin/bash
# Builds the console tool and runs it once on a sample file: encrypt with a
# record, peek at the record, decrypt, and show that the file is restored.
set -euo pipefail
cd "$(dirname "$0")/.."

# The console tool's packages only: installed when run as root, else named
# with the one command to run first.
scripts/install-deps.sh console

build=build/demo
# A build folder left by another generator cannot be reconfigured with Ninja.
if [[ -f $build/CMakeCache.txt ]] &&
   ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCHMARKS=OFF > /dev/null
cmake --build "$build" --target tavo -j 2 > /dev/null
tavo="$PWD/$build/console/tavo"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for i in $(seq 1 2000); do echo "line $i of a report that should not be read at a glance"; done > report.txt
cp report.txt original.txt

# The tool exits with 1 for success and 0 for failure.
show() {
  echo; echo "\$ tavo $*"
  local code=0
  "$tavo" "$@" > out.txt || code=$?
  tr -d '\r' < out.txt
  echo "(exit code $code)"
}

echo "report.txt: $(wc -c < report.txt) bytes, begins: $(head -c 40 report.txt)"
show report.txt en 3 42
echo "report.txt: $(wc -c < report.txt) bytes, begins: $(head -c 16 report.txt | od -An -tx1 | tr -s ' ')"
show report.txt x=xxx
show report.txt de 3 99
show report.txt de 3 42
echo
if cmp -s report.txt original.txt; then
  echo "report.txt is byte for byte the original again ($(wc -c < report.txt) bytes)."
else
  echo "report.txt differs from the original!" >&2
  exit 1
fi
