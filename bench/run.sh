#!/bin/sh
# Builds tavo and the benchmarks in release mode (build/release), then prints
# the byte-routine throughput and the tables of whole passes against dd, with
# the file in the page cache and with the page cache dropped before every run
# (that part needs root). About 5 minutes.
#
# usage: bench/run.sh [--quick] [io_bench.py options]
#   --quick           a 256 MiB file, one run per row (about a minute)
#   --runs N          timed runs per row, page cache warm (default 2)
#   --cold-runs N     timed runs per row, page cache dropped (default 2; 0 skips)
#   --sizes 512M,1G   file sizes (default 512M,1G)
#   --scratch DIR     where the test files go (default: $TMPDIR or /tmp);
#                     needs free disk space and free memory for the files,
#                     so that they stay in the page cache
# Needs cmake, ninja, Python 3, GNU time (/usr/bin/time) and Google Benchmark.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tavo byte_routines_bench read_paths_bench >/dev/null

echo "== $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(uname -sr)"
echo
echo "== byte routines over a 64 KiB buffer (GB = 10^9 bytes per CPU second)"
"$build/bench/byte_routines_bench" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(Benchmark|-+$|.*_median)'
echo
echo "== the second thread's two ways to hash a zone in the page cache, 256 KiB at a time:"
echo "   read into a buffer (what runs do) and seen in place through a mapping"
"$build/bench/read_paths_bench" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^(Benchmark|-+$|.*_median)'
echo
echo "== in-place pass: tavo against dd bs=1M and bs=64k, both conv=notrunc,fdatasync"
exec python3 "$root/bench/io_bench.py" "$@" "$build/console/tavo"
