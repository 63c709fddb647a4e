#!/bin/sh
# Runs over many files, side by side with what they replace:
#   1. 10,000 files of 4 KiB: one tavo process over the folder against a
#      shell loop of `dd conv=notrunc,fdatasync` (and of single tavo runs)
#      over the same files;
#   2. 200 files totalling SIZE against one run over a single file of SIZE;
#   3. the flushes (fdatasync, and syncfs, one of which covers the files of
#      a file system that wait together) per file, counted with perf (or
#      strace where perf cannot count system calls).
# Builds tavo in release mode first (build/release).
#
# usage: bench/batch.sh [--small N] [--total MiB] [--rounds N] [--scratch DIR]
#   --small N      number of 4 KiB files (default 10000)
#   --total MiB    size of the 200 files together and of the single file
#                  (default 4096); needs twice that much free disk
#   --rounds N     rounds of the large comparison, interleaved (default 3)
#   --scratch DIR  where the files go (default: $TMPDIR or /tmp)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
small=10000
total=4096
rounds=3
scratch=${TMPDIR:-/tmp}
while [ $# -gt 0 ]; do
  case $1 in
    --small) small=$2; shift 2 ;;
    --total) total=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --scratch) scratch=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tavo >/dev/null
tavo=$build/console/tavo
work=$(mktemp -d "$scratch/tavo-batch-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# Seconds since $1, three decimals.
since() { echo "$(now) $1" | awk '{printf "%.3f", $1 - $2}'; }
# tavo with its output dropped; its exit code depends on the form (1 or 0 for ok).
quiet() { "$tavo" "$@" >/dev/null 2>&1 || true; }
ratio() { echo "$1 $2" | awk '{printf "%.2f", $1 / $2}'; }

echo "== $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -sr)," \
  "$(df -h "$work" | awk 'NR == 2 {print $1 " " $6}')"

# 1. Many small files.
mkdir "$work/small"
head -c $((small * 4096)) /dev/urandom | split -a 5 -d -b 4096 - "$work/small/f"
sync
start=$(now)
quiet "$work/small" en 3 42 -r
batch_en=$(since "$start")
start=$(now)
quiet "$work/small" de 3 42 -r
batch_de=$(since "$start")
start=$(now)
for f in "$work"/small/f*; do
  dd if="$f" of="$f" bs=4096 conv=notrunc,fdatasync status=none
done
dd_loop=$(since "$start")
start=$(now)
for f in "$work"/small/f*; do quiet "$f" en 3 42; done
tavo_loop=$(since "$start")
echo
echo "== $small files of 4 KiB (seconds; target: one batch at most half the dd loop)"
printf '%-52s %9s %8s\n' "" seconds "/ dd"
printf '%-52s %9s %8s\n' "tavo FOLDER en 3 42 -r (one process)" "$batch_en" "$(ratio "$batch_en" "$dd_loop")"
printf '%-52s %9s %8s\n' "tavo FOLDER de 3 42 -r (one process)" "$batch_de" "$(ratio "$batch_de" "$dd_loop")"
printf '%-52s %9s %8s\n' "shell loop: dd conv=notrunc,fdatasync per file" "$dd_loop" 1.00
printf '%-52s %9s %8s\n' "shell loop: tavo FILE en 3 42 per file" "$tavo_loop" "$(ratio "$tavo_loop" "$dd_loop")"

# 3. Flushes per file, on a hundred of the small files (encrypted by the loop).
mkdir "$work/count"
for f in $(ls "$work/small" | head -100); do cp "$work/small/$f" "$work/count/"; done
# Counted by the kernel's tracepoints where perf can read them: strace slows
# every call and wait of the runs' threads, and shared flushes come out
# rarer under it than they are.
if perf stat -e syscalls:sys_enter_syncfs true >/dev/null 2>&1; then
  counter="perf stat"
  flushes() {
    perf stat -x, -e syscalls:sys_enter_fdatasync,syscalls:sys_enter_syncfs \
      -o "$work/count.txt" "$tavo" "$@" >/dev/null 2>&1 || true
    awk -F, '/sys_enter/ {calls += $1} END {print calls + 0}' "$work/count.txt"
  }
else
  counter="strace -c (slower: fewer flushes are shared)"
  flushes() {
    strace -f -c -e trace=fdatasync,syncfs -o "$work/count.txt" "$tavo" "$@" >/dev/null 2>&1 || true
    awk '$NF == "fdatasync" || $NF == "syncfs" {calls += $4} END {print calls + 0}' "$work/count.txt"
  }
fi
flushes_de=$(flushes "$work/count" de 3 42 -r)
flushes_en=$(flushes "$work/count" en 3 42 -r)
counted=$(ls "$work/count" | wc -l)
flushes_one=$(flushes "$work/count/$(ls "$work/count" | head -1)" en 3 42 --again)
rm -rf "$work/small" "$work/count"

# 2. A few large files against one file of the same size.
mkdir "$work/large"
each=$((total * 1024 * 1024 / 200))
i=0
# Both written in blocks of 1 MiB: the size of the writes that fill the page
# cache decides the size of its pages, and smaller ones cost the kernel more
# for every later read and write of the file (twice as much system time with
# the 8 KiB writes of head).
while [ $i -lt 200 ]; do
  head -c "$each" /dev/urandom | dd of="$work/large/f$(printf %03d $i)" bs=1M iflag=fullblock status=none
  i=$((i + 1))
done
cat "$work"/large/f* | dd of="$work/single" bs=1M iflag=fullblock status=none
sync
# Interleaved rounds; the median of each column.
timed() { start=$(now); quiet "$@"; since "$start"; }
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
all_single_en= all_many_en= all_single_de= all_many_de=
round=0
while [ $round -lt "$rounds" ]; do
  all_single_en="$all_single_en $(timed "$work/single" en 3 42)"
  all_many_en="$all_many_en $(timed "$work/large" en 3 42 -r)"
  all_single_de="$all_single_de $(timed "$work/single" de 3 42)"
  all_many_de="$all_many_de $(timed "$work/large" de 3 42 -r)"
  round=$((round + 1))
done
single_en=$(echo "$all_single_en" | median)
many_en=$(echo "$all_many_en" | median)
single_de=$(echo "$all_single_de" | median)
many_de=$(echo "$all_many_de" | median)
echo
echo "== 200 files of $((each / 1024 / 1024)) MiB against one file of $total MiB" \
  "(median seconds of $rounds rounds; target: at most 1.10)"
printf '%-52s %9s %9s %8s\n' "" "200 files" "one file" ratio
printf '%-52s %9s %9s %8s\n' "en 3 42" "$many_en" "$single_en" "$(ratio "$many_en" "$single_en")"
printf '%-52s %9s %9s %8s\n' "de 3 42" "$many_de" "$single_de" "$(ratio "$many_de" "$single_de")"

echo
echo "== flushes (fdatasync and syncfs), counted with $counter"
printf '%-52s %9s\n' "a run over $counted files of 4 KiB, en, per file" "$(ratio "$flushes_en" "$counted")"
printf '%-52s %9s\n' "a run over $counted files of 4 KiB, de, per file" "$(ratio "$flushes_de" "$counted")"
printf '%-52s %9s\n' "a single run on one file of 4 KiB, en" "$flushes_one"
