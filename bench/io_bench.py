#!/usr/bin/env python3
"""Times tavo's in-place pass against dd doing the same in-place read and write.

For each file size, way and operation, tavo and
    dd if=F of=F bs=65534 conv=notrunc
run on the same file, alternately and in turns (tavo first in one round, dd
first in the next), and the table shows the median of each. dd moves the same
chunks through the same file without changing them, so its time is what the
machine needs for the I/O alone; the ratio tavo/dd is what the transform and
the tool cost on top of that.

Every tavo "rxen" is followed by the matching "rxde" and every "en" by the
matching "de", so the file is back to its first bytes at the end of each
round; the script checks that against a digest taken when the file was made.

The files live in a scratch folder (default: a new folder under $TMPDIR or
/tmp) and stay in the page cache: the machine needs free memory for all of
them at once (1.3 GiB for the default sizes), since the sizes take turns.

Wall time comes from a monotonic clock around each process, CPU time from
its resource usage, peak memory (maximum resident set size) from runs of
their own under GNU time (/usr/bin/time).

usage: io_bench.py [--quick] [--runs N] [--sizes 64M,256M,1G] [--scratch DIR] TAVO
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CHUNK = 65534  # the chunk size of tavo's pass; dd uses the same
RECORD = 512   # "en" appends this many bytes, "de" cuts them off
FACTOR = 42
MEMORY_PROBE = 10 * 1000 * 1000  # the small file of the memory comparison


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1].upper() in units:
        return int(text[:-1]) * units[text[-1].upper()]
    return int(text)


def size_label(size):
    for unit, shift in (("GiB", 30), ("MiB", 20)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    if size % 1000000 == 0:
        return f"{size // 1000000} MB"
    return f"{size} B"


def make_file(path, size):
    """Writes `size` pseudo-random bytes and returns their digest."""
    digest = hashlib.sha256()
    block = os.urandom(1 << 22)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = block[: min(left, len(block))]
            out.write(piece)
            digest.update(piece)
            left -= len(piece)
            # Vary the blocks a little so no two are the same.
            block = block[1:] + block[:1]
    return digest.hexdigest()


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for piece in iter(lambda: source.read(1 << 22), b""):
            digest.update(piece)
    return digest.hexdigest()


class Failure(Exception):
    pass


class Sample:
    """One process: wall seconds and CPU seconds (user + system)."""

    def __init__(self, wall, cpu):
        self.wall, self.cpu = wall, cpu


def timed(argv, expected_exit, errors_path):
    """Runs argv with its output thrown away and returns its Sample.

    The child is started with posix_spawn and reaped with wait4, so the clock
    holds nothing but the program and the cheapest way to start it: a timer
    program such as GNU time in between would add its own start-up (4 ms on
    this machine, and not the same every time) to every sample."""
    with open(errors_path, "wb"):
        pass
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, errors_path, os.O_WRONLY, 0)]
    started = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - started
    exit_code = os.waitstatus_to_exitcode(status)
    if exit_code != expected_exit:
        with open(errors_path, errors="replace") as errors:
            raise Failure(f"{' '.join(argv)}: exit code {exit_code}, "
                          f"expected {expected_exit} {errors.read()}")
    return Sample(wall, usage.ru_utime + usage.ru_stime)


def peak_rss(argv, expected_exit, report_path):
    """The program's maximum resident set size in KiB, from GNU time, which
    reports the program alone. (A child spawned straight from this script
    would count the Python interpreter's pages too, which it holds until its
    exec.)"""
    command = ["/usr/bin/time", "-f", "%M", "-o", report_path, *argv]
    completed = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if completed.returncode != expected_exit:
        raise Failure(f"{' '.join(argv)}: exit code {completed.returncode}, "
                      f"expected {expected_exit} {completed.stderr.decode(errors='replace')}")
    with open(report_path) as report:
        # The last line; GNU time writes "Command exited with non-zero status"
        # above it for tavo's exit code 1.
        return int(report.read().split()[-1])


class Runner:
    def __init__(self, tavo, scratch):
        self.tavo = tavo
        self.errors_path = os.path.join(scratch, "stderr")
        self.report_path = os.path.join(scratch, "peak-rss")
        self.probes = {}

    def probe_spawn(self, size):
        """Times `true` right after a pass over the file of this size: what
        starting a process costs before the program does anything. That cost
        depends on what ran just before: 2.2 to 2.5 ms here in a loop of
        nothing but `true`, 2.7 ms after a 64 MiB pass and 3.4 ms after a
        1 GiB one, whose data has pushed everything else out of the caches.
        So every size has its own probes, taken where its passes start, and
        their median is taken off each of that size's samples when the table
        is made: it neither counts as tavo's or dd's time nor makes one size
        look dearer per GiB than another."""
        self.probes.setdefault(size, []).append(timed(["true"], 0, self.errors_path))

    def spawn_wall(self, size):
        return statistics.median(p.wall for p in self.probes[size])

    def spawn_cpu(self, size):
        return statistics.median(p.cpu for p in self.probes[size])

    def net(self, sample, size):
        return Sample(sample.wall - self.spawn_wall(size), sample.cpu - self.spawn_cpu(size))

    def tavo_argv(self, path, operation, way):
        return [self.tavo, path, operation, str(way), str(FACTOR)]

    def tavo_pass(self, path, operation, way):
        # The console tool ends with exit code 1 when the operation succeeded.
        return timed(self.tavo_argv(path, operation, way), 1, self.errors_path)

    def tavo_rss(self, path, operation, way):
        return peak_rss(self.tavo_argv(path, operation, way), 1, self.report_path)

    def dd_pass(self, path):
        return timed(["dd", f"if={path}", f"of={path}", f"bs={CHUNK}", "conv=notrunc",
                      "status=none"], 0, self.errors_path)

    def pair(self, path, size, operation, way, tavo_first):
        """One tavo pass and one dd pass over the same file, in the given
        order, each followed by a probe of the start-up cost. So both
        programs always start in the same conditions: right after a probe,
        which came right after a pass over the same file."""
        def tavo():
            sample = self.tavo_pass(path, operation, way)
            self.probe_spawn(size)
            return sample

        def dd():
            sample = self.dd_pass(path)
            self.probe_spawn(size)
            return sample

        if tavo_first:
            tavo_sample = tavo()
            return tavo_sample, dd()
        dd_sample = dd()
        return tavo(), dd_sample


# Each forward operation with the one that undoes it.
ROUND_TRIPS = (("rxen", "rxde"), ("en", "de"))
OPERATIONS = ("rxen", "rxde", "en", "de")
WAYS = (1, 2, 3, 4)


def measure(runner, files, runs):
    """files: {size: (path, digest)}. Returns {(size, operation, way): ([tavo], [dd])}
    with raw samples, the spawn cost not yet taken off.

    The sizes take turns within every round, in an order that rotates from
    round to round, so a machine that gets faster or slower over the minutes
    of a run spreads that over all sizes alike instead of tilting the time
    per GiB of whichever size ran last."""
    sizes = list(files)
    results = {(size, op, way): ([], []) for size in sizes for op in OPERATIONS for way in WAYS}
    # One untimed round trip of every way settles the page cache and the binaries.
    for path, _ in files.values():
        for way in WAYS:
            for forward, backward in ROUND_TRIPS:
                runner.tavo_pass(path, forward, way)
                runner.tavo_pass(path, backward, way)
        runner.dd_pass(path)
    for run in range(runs):
        # Write back what the last round dirtied, outside the clock.
        os.sync()
        order = sizes[run % len(sizes):] + sizes[:run % len(sizes)]
        for way in WAYS:
            for size in order:
                path = files[size][0]
                for forward, backward in ROUND_TRIPS:
                    for operation in (forward, backward):
                        tavo, dd = runner.pair(path, size, operation, way,
                                               tavo_first=(run % 2 == 0))
                        results[(size, operation, way)][0].append(tavo)
                        results[(size, operation, way)][1].append(dd)
        for size, (path, _) in files.items():
            if os.path.getsize(path) != size:
                raise Failure(f"{path}: size {os.path.getsize(path)} after a round, expected {size}")
    for path, digest in files.values():
        if file_digest(path) != digest:
            raise Failure(f"{path}: bytes differ from the original after the round trips")
    return results


def rss_by_operation(runner, path):
    """tavo's peak RSS for one round trip of every operation and way:
    {(operation, way): KiB}."""
    rss = {}
    for way in WAYS:
        for forward, backward in ROUND_TRIPS:
            for operation in (forward, backward):
                rss[(operation, way)] = runner.tavo_rss(path, operation, way)
    return rss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tavo", help="the console tool to measure (a release build)")
    parser.add_argument("--quick", action="store_true",
                        help="64 MiB and 256 MiB only, 4 runs: about a minute")
    parser.add_argument("--runs", type=int,
                        help="timed runs per row (default 6, quick 4); an even number "
                             "lets tavo and dd go first equally often")
    parser.add_argument("--sizes", help="comma-separated sizes, e.g. 64M,256M,1G")
    parser.add_argument("--scratch", help="folder for the test files (default: a new temporary one)")
    args = parser.parse_args()

    sizes = [parse_size(s) for s in (args.sizes or ("64M,256M" if args.quick else "64M,256M,1G")).split(",")]
    runs = args.runs or (4 if args.quick else 6)
    tavo = os.path.abspath(args.tavo)

    scratch = tempfile.mkdtemp(prefix="tavo-bench.", dir=args.scratch)
    runner = Runner(tavo, scratch)
    try:
        files = {}
        for size in sizes:
            path = os.path.join(scratch, f"file-{size}")
            files[size] = (path, make_file(path, size))
        results = measure(runner, files, runs)
        # Memory in runs of their own: GNU time would slow the timed ones.
        rss = {size: rss_by_operation(runner, path) for size, (path, _) in files.items()}
        for path, _ in files.values():
            os.remove(path)

        header = (f"{'operation':<9} {'way':>3} {'size':>8} {'tavo s':>8} {'dd s':>8} "
                  f"{'ratio':>5} {'GB/s':>5} {'peak RSS KiB':>12} {'tavo cpu':>8} "
                  f"{'dd cpu':>8} {'cpu ratio':>9}")
        spawn = ", ".join(f"{size_label(size)} {runner.spawn_wall(size) * 1000:.1f} ms"
                          for size in sizes)
        print(f"median of {runs} alternating runs, sizes in turn, factor {FACTOR}; "
              f"process start-up (`true` after a pass) taken off each time: {spawn}")
        print(header)
        print("-" * len(header))
        # For each size, one value per operation and way.
        ratios, cpu_ratios, per_gib, cpu_per_gib, dd_per_gib = {}, {}, {}, {}, {}
        rss_seen = set()
        for size in sizes:
            for operation in OPERATIONS:
                for way in WAYS:
                    tavo, dd = ([runner.net(sample, size) for sample in samples]
                                for samples in results[(size, operation, way)])
                    tavo_s = statistics.median(t.wall for t in tavo)
                    dd_s = statistics.median(d.wall for d in dd)
                    tavo_cpu = statistics.median(t.cpu for t in tavo)
                    dd_cpu = statistics.median(d.cpu for d in dd)
                    ratio, cpu_ratio = tavo_s / dd_s, tavo_cpu / dd_cpu
                    rss_seen.add(rss[size][(operation, way)])
                    gib = size / (1 << 30)
                    ratios.setdefault(size, []).append(ratio)
                    cpu_ratios.setdefault(size, []).append(cpu_ratio)
                    per_gib.setdefault(size, []).append(tavo_s / gib)
                    cpu_per_gib.setdefault(size, []).append(tavo_cpu / gib)
                    dd_per_gib.setdefault(size, []).append(dd_s / gib)
                    print(f"{operation:<9} {way:>3} {size_label(size):>8} {tavo_s:>8.4f} "
                          f"{dd_s:>8.4f} {ratio:>5.2f} {size / tavo_s / 1e9:>5.2f} "
                          f"{rss[size][(operation, way)]:>12} "
                          f"{tavo_cpu:>8.4f} {dd_cpu:>8.4f} {cpu_ratio:>9.2f}", flush=True)

        small = os.path.join(scratch, "memory-probe")
        make_file(small, MEMORY_PROBE)
        small_rss = max(rss_by_operation(runner, small).values())
        large_rss = max(rss_seen)

        print()
        print("summary (median over the 16 operations and ways of each size):")
        print(f"{'size':>8} {'ratio':>6} {'cpu ratio':>9} {'worst ratio':>11} "
              f"{'tavo s/GiB':>10} {'cpu s/GiB':>9} {'dd s/GiB':>8}")
        for size in sizes:
            print(f"{size_label(size):>8} {statistics.median(ratios[size]):>6.2f} "
                  f"{statistics.median(cpu_ratios[size]):>9.2f} {max(ratios[size]):>11.2f} "
                  f"{statistics.median(per_gib[size]):>10.3f} "
                  f"{statistics.median(cpu_per_gib[size]):>9.3f} "
                  f"{statistics.median(dd_per_gib[size]):>8.3f}")
        print("targets: ratio <= 1.10; time per GiB within 15% across sizes")
        if len(sizes) > 1:
            for name, values in (("wall", per_gib), ("CPU", cpu_per_gib), ("dd wall", dd_per_gib)):
                medians = [statistics.median(values[size]) for size in sizes]
                print(f"time per GiB ({name}): largest / smallest = "
                      f"{max(medians) / min(medians):.2f}")
        print(f"peak RSS: {size_label(MEMORY_PROBE)} file {small_rss} KiB, "
              f"{', '.join(size_label(s) for s in sizes)} files {min(rss_seen)}..{large_rss} KiB "
              f"(target: the same, under 4096 KiB)")
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
