#!/bin/sh
# Runs over many files, side by side with what they replace:
#   1. N files of 4 KiB: one tavo process over the folder against one
#      process that rewrites each file in place and makes it durable
#      (bench/rewrite_loop.cpp: open, read, add 42, write, fdatasync, close:
#      the yardstick) and against a shell loop of `dd conv=notrunc,fdatasync`;
#      medians of interleaved rounds, then once a shell loop of single runs;
#   2. the flushes per file of the same runs, counted by the kernel's
#      tracepoints with perf: the process's fdatasync, fsync and syncfs, and,
#      system-wide (so other work on the machine counts too), the flush
#      requests the block layer issued and the commits of ext4's journal;
#   3. 200 files totalling SIZE against one run over a single file of SIZE,
#      with the peak memory of the run over the 200 files.
# Builds tavo and the yardstick in release mode first (build/release).
#
# usage: bench/batch.sh [--small N] [--total MiB] [--rounds N] [--scratch DIR] [--tavo PATH]
#   --small N      number of 4 KiB files (default 10000)
#   --total MiB    size of the 200 files together and of the single file
#                  (default 4096); needs twice that much free disk
#   --rounds N     interleaved rounds of both comparisons (default 3)
#   --scratch DIR  where the files go (default: $TMPDIR or /tmp)
#   --tavo PATH    another tavo to measure (an older build, say) than the one built
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
small=10000
total=4096
rounds=3
scratch=${TMPDIR:-/tmp}
tavo=
while [ $# -gt 0 ]; do
  case $1 in
    --small) small=$2; shift 2 ;;
    --total) total=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --scratch) scratch=$2; shift 2 ;;
    --tavo) tavo=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tavo rewrite_loop >/dev/null
tavo=${tavo:-$build/console/tavo}
loop=$build/bench/rewrite_loop
work=$(mktemp -d "$scratch/tavo-batch-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# Seconds since $1, three decimals.
since() { echo "$(now) $1" | awk '{printf "%.3f", $1 - $2}'; }
# tavo with its output dropped; its exit code depends on the form (1 or 0 for ok).
quiet() { "$tavo" "$@" >/dev/null 2>&1 || true; }
ratio() { echo "$1 $2" | awk '{printf "%.2f", $1 / $2}'; }
timed() { start=$(now); "$@" >/dev/null 2>&1 || true; since "$start"; }
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
dd_loop() {
  for f in "$1"/f*; do dd if="$f" of="$f" bs=4096 conv=notrunc,fdatasync status=none; done
}
tavo_loop() {
  for f in "$1"/f*; do "$tavo" "$f" en 3 42 >/dev/null 2>&1 || true; done
}
load() { cut -d' ' -f1 /proc/loadavg; }

echo "== $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -sr)," \
  "$(df -h "$work" | awk 'NR == 2 {print $1 " " $6}')"

# 1. Many small files, in rounds: tavo en and de, the yardstick, the dd loop,
# in an order that turns round from round to round.
mkdir "$work/small"
head -c $((small * 4096)) /dev/urandom | split -a 5 -d -b 4096 - "$work/small/f"
sync
all_en= all_de= all_loop= all_calls= all_dd=
loads="$(load)"
round=0
while [ $round -lt "$rounds" ]; do
  if [ $((round % 2)) -eq 0 ]; then
    all_en="$all_en $(timed "$tavo" "$work/small" en 3 42 -r)"
    all_de="$all_de $(timed "$tavo" "$work/small" de 3 42 -r)"
    all_loop="$all_loop $(timed "$loop" "$work/small")"
    all_calls="$all_calls $(timed "$loop" --no-flush "$work/small")"
    all_dd="$all_dd $(timed dd_loop "$work/small")"
  else
    all_dd="$all_dd $(timed dd_loop "$work/small")"
    all_calls="$all_calls $(timed "$loop" --no-flush "$work/small")"
    all_loop="$all_loop $(timed "$loop" "$work/small")"
    all_en="$all_en $(timed "$tavo" "$work/small" en 3 42 -r)"
    all_de="$all_de $(timed "$tavo" "$work/small" de 3 42 -r)"
  fi
  loads="$loads $(load)"
  round=$((round + 1))
done
batch_en=$(echo "$all_en" | median)
batch_de=$(echo "$all_de" | median)
loop_time=$(echo "$all_loop" | median)
calls_time=$(echo "$all_calls" | median)
dd_time=$(echo "$all_dd" | median)
tavo_loop_time=$(timed tavo_loop "$work/small")
echo
echo "== $small files of 4 KiB: median seconds of $rounds interleaved rounds (load average" \
  "$(echo "$loads" | tr ' ' '/')); target: one tavo process at most 0.50 x the" \
  "yardstick (moonshot 0.25)"
printf '%-58s %8s %8s %8s\n' "" seconds "/ yard" "/ dd"
row() { printf '%-58s %8s %8s %8s\n' "$1" "$2" "$(ratio "$2" "$loop_time")" "$(ratio "$2" "$dd_time")"; }
row "tavo FOLDER en 3 42 -r (one process)" "$batch_en"
row "tavo FOLDER de 3 42 -r (one process)" "$batch_de"
row "yardstick: one process, open read add write fdatasync" "$loop_time"
row "the yardstick without fdatasync (its calls alone)" "$calls_time"
row "shell loop: dd conv=notrunc,fdatasync per file" "$dd_time"
row "shell loop: tavo FILE en 3 42 per file (once)" "$tavo_loop_time"
echo "rounds (en / de / yardstick / dd):$all_en /$all_de /$all_loop /$all_dd"
micro() { echo "$1 $small" | awk '{printf "%.0f", $1 / $2 * 1e6}'; }
echo "microseconds per file: tavo en $(micro "$batch_en"), de $(micro "$batch_de")," \
  "yardstick $(micro "$loop_time"), its calls alone $(micro "$calls_time")"

# 2. Flushes per file over the same files, as the kernel counts them.
if perf stat -e syscalls:sys_enter_syncfs true >/dev/null 2>&1; then
  quiet "$work/small" de 3 42 -r  # the shell loop encrypted them
  # counted COMMAND...: its flush calls, device flushes and journal commits.
  counted() {
    set -- perf stat -x, -e syscalls:sys_enter_fdatasync,syscalls:sys_enter_fsync \
      -e syscalls:sys_enter_syncfs -o "$work/calls.txt" -- "$@"
    if perf stat -a -e block:block_rq_issue true >/dev/null 2>&1; then
      set -- perf stat -a -x, -e block:block_rq_issue --filter 'rwbs ~ "*F*"' \
        -e jbd2:jbd2_start_commit -o "$work/device.txt" -- "$@"
    else
      : >"$work/device.txt"
    fi
    "$@" >/dev/null 2>&1 || true
    calls=$(awk -F, '/sys_enter/ {n += $1} END {print n + 0}' "$work/calls.txt")
    awk -F, -v calls="$calls" '/block_rq_issue/ {d = $1} /jbd2/ {j = $1}
      END {print calls, (d == "" ? "-" : d), (j == "" || j ~ /not/ ? "-" : j)}' "$work/device.txt"
  }
  per_file() { echo "$1 $small" | awk '$1 == "-" {print "-"; next} {printf "%.3f", $1 / $2}'; }
  flush_row() {
    label=$1
    shift
    start=$(now)
    set -- $(counted "$@")
    seconds=$(since "$start")
    printf '%-46s %9s %9s %9s %8s\n' "$label" "$(per_file "$1")" "$(per_file "$2")" \
      "$(per_file "$3")" "$seconds"
  }
  echo
  echo "== flushes per file over the same $small files (kernel tracepoints through perf;" \
    "target: tavo at most 0.2 flushes per file)"
  printf '%-46s %9s %9s %9s %8s\n' "" flushes device "journal" seconds
  flush_row "tavo FOLDER en 3 42 -r" "$tavo" "$work/small" en 3 42 -r
  flush_row "tavo FOLDER de 3 42 -r" "$tavo" "$work/small" de 3 42 -r
  flush_row "yardstick" "$loop" "$work/small"
  set -- $(counted sleep 2)
  echo "flushes: the process's fdatasync, fsync and syncfs calls; device: flush requests the" \
    "block layer issued, journal: commits of ext4's journal, both system-wide (other work on" \
    "the machine: $2 and $3 in 2 s of sleep)"
else
  echo
  echo "== flushes not counted: perf cannot read the kernel's system call tracepoints here"
fi
rm -rf "$work/small"

# 3. A few large files against one file of the same size.
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
all_single_en= all_many_en= all_single_de= all_many_de=
loads="$(load)"
round=0
while [ $round -lt "$rounds" ]; do
  all_single_en="$all_single_en $(timed "$tavo" "$work/single" en 3 42)"
  all_many_en="$all_many_en $(timed "$tavo" "$work/large" en 3 42 -r)"
  all_single_de="$all_single_de $(timed "$tavo" "$work/single" de 3 42)"
  all_many_de="$all_many_de $(timed "$tavo" "$work/large" de 3 42 -r)"
  loads="$loads $(load)"
  round=$((round + 1))
done
single_en=$(echo "$all_single_en" | median)
many_en=$(echo "$all_many_en" | median)
single_de=$(echo "$all_single_de" | median)
many_de=$(echo "$all_many_de" | median)
# Peak memory of one more round over the 200 files, by GNU time.
rss() {
  /usr/bin/time -f %M -o "$work/rss.txt" "$tavo" "$@" >/dev/null 2>&1 || true
  tail -1 "$work/rss.txt"
}
rss_en=$(rss "$work/large" en 3 42 -r)
rss_de=$(rss "$work/large" de 3 42 -r)
echo
echo "== 200 files of $((each / 1024 / 1024)) MiB against one file of $total MiB" \
  "(median seconds of $rounds interleaved rounds, load average $(echo "$loads" | tr ' ' '/'));" \
  "target: at most 1.00, peak RSS under 8 MiB"
printf '%-46s %9s %9s %8s %12s\n' "" "200 files" "one file" ratio "RSS KiB"
printf '%-46s %9s %9s %8s %12s\n' "en 3 42" "$many_en" "$single_en" \
  "$(ratio "$many_en" "$single_en")" "$rss_en"
printf '%-46s %9s %9s %8s %12s\n' "de 3 42" "$many_de" "$single_de" \
  "$(ratio "$many_de" "$single_de")" "$rss_de"
