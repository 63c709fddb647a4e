#!/bin/bash
# Times tavo.exe's in-place pass under Wine against the plainest Win32 pass
# over the same file (bench/win32_baseline.cpp: ReadFile, add 1 to every byte,
# WriteFile back, one FlushFileBuffers at the end), and prints the median,
# the spread and the ratio tavo/baseline.
#
# Every round runs each program once on the same file, in an order that turns
# round from round to round: the baseline with 1 MiB and with 65,534-byte
# blocks, each with offsets in OVERLAPPED and with SetFilePointerEx, then
# `tavo.exe F rxen 3 7` and `tavo.exe F rxde 3 7`, which puts tavo's changes
# back. Every program ends with its data on disk; `sync` runs between
# programs, outside the clock. Times are wall times of the whole Wine process
# and include Wine's start-up, which is printed too (a program that only
# prints its usage) and taken off for the "net" ratio.
#
# --pattern adds bench/win32_pattern.cpp: tavo's run structure in plain Win32,
# one part switched at a time, to show what each part costs under Wine and
# what a larger chunk or another piece hash would give.
#
# usage: bench/wine_bench.sh [--size 1G] [--rounds 5] [--arch x86_64|i686]
#                            [--scratch DIR] [--tavo PATH]... [--pattern]
#   --size     the test file's size (default 1G); the file goes to --scratch
#              (default /tmp) and is removed at the end
#   --tavo     a tavo.exe to time (default build/mingw-ARCH/console/tavo.exe,
#              built with `cmake --build --preset mingw-ARCH`); given more
#              than once, all are timed in the same rounds (tavo1, tavo2, ...),
#              to compare two builds
# Needs the mingw-w64 compilers, Wine and GNU time (scripts/install-deps.sh).
# The Wine prefix lives in build/wine-bench/; its server is kept up for the
# whole run and stopped at the end. The machine should be otherwise idle: the figures
# of a busy one spread widely.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

size=1G
rounds=5
arch=x86_64
scratch=${TMPDIR:-/tmp}
tavos=()
pattern=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --size) size=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --scratch) scratch=$2; shift 2 ;;
    --tavo) tavos+=("$(realpath "$2")"); shift 2 ;;
    --pattern) pattern=1; shift ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
case $arch in
  x86_64) wine_arch=win64; cxx=x86_64-w64-mingw32-g++; flags=() ;;
  i686) wine_arch=win32; cxx=i686-w64-mingw32-g++; flags=(-msse2) ;;
  *) echo "unknown --arch $arch" >&2; exit 2 ;;
esac
[[ ${#tavos[@]} -gt 0 ]] || tavos=("$root/build/mingw-$arch/console/tavo.exe")
for tavo in "${tavos[@]}"; do
  [[ -f $tavo ]] || { echo "no $tavo: cmake --build --preset mingw-$arch" >&2; exit 1; }
done

out=$root/build/wine-bench
mkdir -p "$out"
build() {  # build SOURCE EXE [flags]
  local source=$1 exe=$2
  shift 2
  if [[ ! -f $exe || $source -nt $exe ]]; then
    "$cxx" -O2 -Wall -Wextra "${flags[@]}" "$@" -static -municode "$source" -o "$exe"
  fi
}
baseline=$out/win32_baseline-$arch.exe
build "$root/bench/win32_baseline.cpp" "$baseline"
if [[ $pattern == 1 ]]; then
  pattern_exe=$out/win32_pattern-$arch.exe
  pattern_extra=()
  # XXH3 from the system's header, inlined (-DXXH_INLINE_ALL), where there is one.
  if [[ -f /usr/include/xxhash.h ]]; then
    mkdir -p "$out/xxhash" && cp /usr/include/xxhash.h "$out/xxhash/"
    pattern_extra=(-DTAVO_BENCH_XXH3 -I"$out/xxhash")
  fi
  build "$root/bench/win32_pattern.cpp" "$pattern_exe" "${pattern_extra[@]}"
fi

prefix=$out/prefix-$wine_arch
"$root/cmake/wine-prefix-init.sh" "$wine_arch" "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# shellcheck source=SCRIPTDIR/../cmake/wine-loader.sh
. "$root/cmake/wine-loader.sh"
# The server stays up between runs (a cold start costs seconds) until the end.
# The first program of a server's life also starts Wine's services: done here,
# untimed.
wineserver -p 2>/dev/null || true  # already up: it stays up
"$loader" cmd.exe /c exit >/dev/null 2>&1 </dev/null || true

work=$(mktemp -d "$scratch/tavo-wine-bench.XXXXXX")
cleanup() {
  rm -rf "$work"
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
file=$work/file
head -c "$size" /dev/urandom >"$file"
bytes=$(stat -c %s "$file")
cd "$work"

# One timed run: wall seconds appended to $work/times-NAME, the process's CPU
# seconds (user + system, from GNU time; the Wine server's are not in them)
# to $work/cpu-NAME.
run() {  # run NAME EXPECTED_EXIT PROGRAM ARGS...
  local name=$1 expected=$2
  shift 2
  sync
  local start end status=0
  start=$(date +%s%N)
  /usr/bin/time -f "%U %S" -o "$work/cpu" "$loader" "$@" >/dev/null 2>"$work/stderr" </dev/null ||
    status=$?
  end=$(date +%s%N)
  if [[ $status != "$expected" ]]; then
    echo "FAIL: $name: exit code $status, expected $expected" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  echo "$(((end - start) / 1000))" | awk '{ printf "%.4f\n", $1 / 1e6 }' >>"$work/times-$name"
  tail -1 "$work/cpu" | awk '{ printf "%.3f\n", $1 + $2 }' >>"$work/cpu-$name"
}

names=(base-ov-1M base-ov-64K base-seek-1M base-seek-64K)
for ((t = 1; t <= ${#tavos[@]}; t++)); do names+=("tavo$t"); done
declare -A commands=(
  [base-ov-1M]="0 $baseline file 1048576 overlapped"
  [base-ov-64K]="0 $baseline file 65534 overlapped"
  [base-seek-1M]="0 $baseline file 1048576 seek"
  [base-seek-64K]="0 $baseline file 65534 seek"
)
if [[ $pattern == 1 ]]; then
  # CHUNK HASH_READ HASH_WRITE IO HASH [nohashread] [noflush]
  declare -A patterns=(
    [pat-ov-64K-lanes]="65534 65536 4096 overlapped lanes"
    [pat-seek-64K-lanes]="65534 65536 4096 seek lanes"
    [pat-seek-64K-none]="65534 65536 4096 seek none"
    [pat-seek-64K-noread]="65534 65536 4096 seek none nohashread"
    [pat-seek-64K-noread-noflush]="65534 65536 4096 seek none nohashread noflush"
    [pat-seek-1M-lanes]="1048576 1048576 65536 seek lanes"
    [pat-seek-1M-none]="1048576 1048576 65536 seek none"
    [pat-seek-1M-noread]="1048576 1048576 65536 seek none nohashread"
    [pat-seek-64K-lanes-bgflush]="65534 65536 4096 seek lanes bgflush"
  )
  if [[ ${#pattern_extra[@]} -gt 0 ]]; then
    patterns[pat-seek-1M-xxh3]="1048576 1048576 65536 seek xxh3"
    patterns[pat-seek-1M-xxh3-bgflush]="1048576 1048576 65536 seek xxh3 bgflush"
  fi
  for name in $(printf '%s\n' "${!patterns[@]}" | sort); do
    names+=("$name")
    commands[$name]="0 $pattern_exe file ${patterns[$name]}"
  done
fi

startup() { run startup 2 "$baseline"; }
one() {  # one NAME
  if [[ $1 == tavo* ]]; then
    # tavo's console tool ends with exit code 1 after a successful run.
    local tavo=${tavos[$((${1#tavo} - 1))]}
    run "$1-rxen" 1 "$tavo" file rxen 3 7
    run "$1-rxde" 1 "$tavo" file rxde 3 7
  else
    # shellcheck disable=SC2086
    run "$1" ${commands[$1]}
  fi
}

echo "== tavo.exe under $("$loader" --version) ($wine_arch), $arch, $(nproc) cores, $(uname -r)"
echo "== file $bytes bytes in $scratch, $rounds rounds, $(date -u +%Y-%m-%dT%H:%MZ)"
# One untimed pass of each settles the page cache and the binaries.
for ((t = 1; t <= ${#tavos[@]}; t++)); do one "tavo$t"; done
run base-ov-1M 0 "$baseline" file 1048576
rm -f "$work"/times-*
count=${#names[@]}
for ((r = 0; r < rounds; r++)); do
  startup
  for ((i = 0; i < count; i++)); do
    one "${names[$(((i + r) % count))]}"
  done
  [[ $(stat -c %s file) == "$bytes" ]] || { echo "FAIL: size changed" >&2; exit 1; }
  echo "round $((r + 1)) of $rounds done" >&2
done

stats() {  # stats NAME [times|cpu] -> "median min max"
  sort -n "$work/${2:-times}-$1" | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'
}
read -r start_s _ <<<"$(stats startup)"
read -r ov1m _ <<<"$(stats base-ov-1M)"
read -r seek1m seek1m_min _ <<<"$(stats base-seek-1M)"
echo "Wine start-up (a program that only prints its usage): median $start_s s"
echo
printf '%-28s %8s %6s %6s %7s %8s %8s %8s %6s\n' program "median s" "min s" "max s" "/ov-1M" \
  "/seek-1M" "net/sk1M" "min/sk1M" "cpu s"
printf '%.0s-' {1..97}
echo
rows=()
for name in "${names[@]}"; do
  [[ $name == tavo* ]] && rows+=("$name-rxen" "$name-rxde") || rows+=("$name")
done
for name in "${rows[@]}"; do
  label=$name
  [[ $name == tavo* ]] && label="${name%-*} ${name##*-} 3 7"
  read -r median low high <<<"$(stats "$name")"
  read -r cpu _ <<<"$(stats "$name" cpu)"
  awk -v l="$label" -v m="$median" -v lo="$low" -v hi="$high" -v a="$ov1m" -v b="$seek1m" \
      -v bl="$seek1m_min" -v s="$start_s" -v c="$cpu" 'BEGIN {
      printf "%-28s %8.3f %6.2f %6.2f %7.2f %8.2f %8.2f %8.2f %6.2f\n",
      l, m, lo, hi, m / a, m / b, (m - s) / (b - s), lo / bl, c }'
done
echo
echo "base-*: win32_baseline; ov: offsets in OVERLAPPED, seek: SetFilePointerEx. /ov-1M, /seek-1M:"
echo "median over that baseline's median; net: both less the Wine start-up; min/sk1M: fastest"
echo "over fastest (the least disturbed runs, on a busy machine the steadier figure); cpu s:"
echo "median user + system time of the process (the Wine server's not counted)."
for ((t = 1; t <= ${#tavos[@]}; t++)); do echo "tavo$t: ${tavos[$((t - 1))]}"; done
if [[ $pattern == 1 ]]; then
  echo "pat-IO-CHUNK-HASH: win32_pattern (tavo's run in plain Win32): zone read + piece hashes,"
  echo "slot + flush per 32 MiB zone, then read+write in CHUNK; noread: no hashing read;"
  echo "noflush: no flush per zone; bgflush: a second thread flushes while the zone is rewritten."
fi
