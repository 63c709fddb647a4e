#!/usr/bin/env python3
"""Times tavo's in-place pass against dd doing the same in-place read and write.

Every tavo run ends with its data on disk (fdatasync before the ok line), so
the yardsticks are dd runs whose result is on disk too:
    dd if=F of=F bs=1M conv=notrunc,fdatasync      (the ratio the targets name)
    dd if=F of=F bs=64k conv=notrunc,fdatasync
They move the file through memory and back without changing it and flush
once at the end: their time is what the machine needs for the I/O alone, and
the ratio tavo/dd is what the transform, the journal and the tool cost on
top of that.

Two tables: the file in the page cache ("warm"), and the page cache dropped
before every run ("cold": sync, then 3 into /proc/sys/vm/drop_caches, which
needs root; without it the cold table is skipped). In each round tavo and
the two dd run on the same file one after the other, in an order that turns
round from round to round, and the table shows the median of each.

Every tavo "rxen" is followed by the matching "rxde" and every "en" by the
matching "de", so the file is back to its first bytes at the end of each
round; the script checks that against a digest taken when the file was made.

Wall time comes from a monotonic clock around each process, CPU time from
its resource usage, peak memory (maximum resident set size) from runs of
their own under GNU time (/usr/bin/time).

usage: io_bench.py [--quick] [--runs N] [--cold-runs N] [--sizes 512M,1G] [--scratch DIR] TAVO
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))

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

    def dd_pass(self, path, block):
        return timed(["dd", f"if={path}", f"of={path}", f"bs={block}", "conv=notrunc,fdatasync",
                      "status=none"], 0, self.errors_path)

    def round(self, path, size, operation, way, order, cold):
        """tavo and the two flushing dd over the same file in the given
        order: {program: Sample}. Warm, each run is followed
        by a probe of the start-up cost, so all start in the same conditions;
        cold, the page cache is dropped before each run instead."""
        runs = {"tavo": lambda: self.tavo_pass(path, operation, way),
                "dd 1M": lambda: self.dd_pass(path, "1M"),
                "dd 64k": lambda: self.dd_pass(path, "64k")}
        samples = {}
        for program in order:
            if cold:
                drop_caches()
            samples[program] = runs[program]()
            if not cold:
                self.probe_spawn(size)
        return samples


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as control:
        control.write("3\n")


def can_drop_caches():
    try:
        drop_caches()
        return True
    except OSError:
        return False


# Each forward operation with the one that undoes it.
ROUND_TRIPS = (("rxen", "rxde"), ("en", "de"))
OPERATIONS = ("rxen", "rxde", "en", "de")
WAYS = (1, 2, 3, 4)
PROGRAMS = ("tavo", "dd 1M", "dd 64k")


def measure(runner, files, runs, cold):
    """files: {size: (path, digest)}. Returns {(size, operation, way): {program: [Sample]}}
    with raw samples (warm: the spawn cost not yet taken off).

    The sizes take turns within every round, in an order that rotates from
    round to round, so a machine that gets faster or slower over the minutes
    of a run spreads that over all sizes alike. The programs' order turns
    round too: each goes first, second and last in turn."""
    sizes = list(files)
    results = {(size, op, way): {p: [] for p in PROGRAMS}
               for size in sizes for op in OPERATIONS for way in WAYS}
    for run in range(runs):
        order = sizes[run % len(sizes):] + sizes[:run % len(sizes)]
        turn = 0
        for way in WAYS:
            for size in order:
                path = files[size][0]
                for forward, backward in ROUND_TRIPS:
                    for operation in (forward, backward):
                        shift = (run + turn) % len(PROGRAMS)
                        turn += 1
                        programs = PROGRAMS[shift:] + PROGRAMS[:shift]
                        samples = runner.round(path, size, operation, way, programs, cold)
                        for program, sample in samples.items():
                            results[(size, operation, way)][program].append(sample)
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


def median(samples, attribute):
    return statistics.median(getattr(sample, attribute) for sample in samples)


def table(runner, sizes, results, rss, cold):
    """Prints one table; returns the ratios tavo / dd bs=1M by size."""
    ratios = {}
    header = (f"{'operation':<9} {'way':>3} {'size':>8} {'tavo s':>8} {'dd 1M s':>8} "
              f"{'ratio':>5} {'dd 64k s':>8} {'ratio':>5} {'GB/s':>5}")
    if not cold:
        header += f" {'peak RSS KiB':>12} {'tavo cpu':>8}"
    print(header)
    print("-" * len(header))
    for size in sizes:
        for operation in OPERATIONS:
            for way in WAYS:
                samples = results[(size, operation, way)]
                if not cold:
                    samples = {p: [runner.net(x, size) for x in xs] for p, xs in samples.items()}
                tavo_s = median(samples["tavo"], "wall")
                large_s = median(samples["dd 1M"], "wall")
                small_s = median(samples["dd 64k"], "wall")
                ratio = tavo_s / large_s
                ratios.setdefault(size, []).append(ratio)
                line = (f"{operation:<9} {way:>3} {size_label(size):>8} {tavo_s:>8.3f} "
                        f"{large_s:>8.3f} {ratio:>5.2f} {small_s:>8.3f} {tavo_s / small_s:>5.2f}"
                        f" {size / tavo_s / 1e9:>5.2f}")
                if not cold:
                    line += (f" {rss[size][(operation, way)]:>12} "
                             f"{median(samples['tavo'], 'cpu'):>8.3f}")
                print(line, flush=True)
    return ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tavo", help="the console tool to measure (a release build)")
    parser.add_argument("--quick", action="store_true",
                        help="256 MiB, one run of each table: about a minute")
    parser.add_argument("--runs", type=int, help="timed runs per row, warm (default 2, quick 1)")
    parser.add_argument("--cold-runs", type=int,
                        help="timed runs per row with the page cache dropped (default 2, quick 1; 0 skips)")
    parser.add_argument("--sizes", help="comma-separated sizes (default 512M,1G)")
    parser.add_argument("--scratch", help="folder for the test files (default: a new temporary one)")
    args = parser.parse_args()

    sizes = [parse_size(s) for s in (args.sizes or ("256M" if args.quick else "512M,1G")).split(",")]
    runs = args.runs or (1 if args.quick else 2)
    cold_runs = (1 if args.quick else 2) if args.cold_runs is None else args.cold_runs
    tavo = os.path.abspath(args.tavo)

    scratch = tempfile.mkdtemp(prefix="tavo-bench.", dir=args.scratch)
    runner = Runner(tavo, scratch)
    try:
        files = {}
        for size in sizes:
            path = os.path.join(scratch, f"file-{size}")
            files[size] = (path, make_file(path, size))
        # One untimed round trip settles the page cache and the binaries.
        for path, _ in files.values():
            runner.tavo_pass(path, "rxen", 1)
            runner.tavo_pass(path, "rxde", 1)
        warm = measure(runner, files, runs, cold=False)
        # Memory in runs of their own: GNU time would slow the timed ones.
        rss = {size: rss_by_operation(runner, path) for size, (path, _) in files.items()}
        cold = None
        if cold_runs and can_drop_caches():
            cold = measure(runner, files, cold_runs, cold=True)
        elif cold_runs:
            print("cold cache: skipped (writing /proc/sys/vm/drop_caches needs root)")
        for path, _ in files.values():
            os.remove(path)
        small = os.path.join(scratch, "memory-probe")
        make_file(small, MEMORY_PROBE)
        small_rss = max(rss_by_operation(runner, small).values())

        spawn = ", ".join(f"{size_label(size)} {runner.spawn_wall(size) * 1000:.1f} ms"
                          for size in sizes)
        print(f"page cache warm: median of {runs} runs per row, factor {FACTOR}, programs in "
              f"turn; process start-up (`true` after a pass) taken off each time: {spawn}")
        warm_ratios = table(runner, sizes, warm, rss, cold=False)
        cold_ratios = {}
        if cold is not None:
            print()
            print(f"page cache dropped before every run: median of {cold_runs} run(s) per row")
            cold_ratios = table(runner, sizes, cold, rss, cold=True)

        print()
        print("summary: tavo / dd bs=1M, median over the 16 operations and ways "
              "(targets: warm <= 1.00, cold <= 1.05):")
        for size in sizes:
            line = (f"{size_label(size):>8}  warm ratio {statistics.median(warm_ratios[size]):.2f} "
                    f"(worst {max(warm_ratios[size]):.2f})")
            if size in cold_ratios:
                line += (f"  cold ratio {statistics.median(cold_ratios[size]):.2f} "
                         f"(worst {max(cold_ratios[size]):.2f})")
            print(line)
        seen = [kib for by_op in rss.values() for kib in by_op.values()]
        print(f"peak RSS: {size_label(MEMORY_PROBE)} file {small_rss} KiB, "
              f"{', '.join(size_label(s) for s in sizes)} files {min(seen)}..{max(seen)} KiB "
              f"(target: the same, under 4096 KiB)")
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
