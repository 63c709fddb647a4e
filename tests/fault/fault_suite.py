#!/usr/bin/env python3
"""Fault table: one injected fault per row at a named point of an operation,
with the exact output, the result and the file's bytes afterwards.

Every row first checks, in strace's log, that the failing call is the one the
row names (for example the write of the last block at offset 2,097,152); a row
whose fault does not fire there is a failure, a row whose technique is not
available is counted as skipped.

usage: fault_suite.py --tavo PATH --work DIR
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import tavo_model as m  # noqa: E402
from fault_loop import NAME, operations, recovers, strace_available  # noqa: E402

SIZE = 2500000  # one zone; blocks of a pass at 0, 1 MiB and 2 MiB (402,848 bytes)
BLOCK = 1 << 20
LAST = 2 * BLOCK  # where the last block starts
# "de" on the encrypted file has the same data, so the same journal.
JOURNAL = m.journal(SIZE, "en")
HASHES = m.pieces(SIZE) * m.PIECE_HASH_SIZE  # bytes of piece hashes of the zone
OLD, NEW, RUN = "as before", "finished", "interrupted, recovers both ways"
PEEK = "peek line"

# The calls of "en" on this file, in order: room for the journal
# (fallocate at SIZE), its first slot (pwrite 1, slot 1, as its sequence
# number 1 is odd), flush 1, the old bytes read in blocks of 1 MiB for their
# piece hashes (pread 1 to 3) and the hashes written (pwrite 2, to hash area
# 0), the zone's slot (pwrite 3, slot 0), flush 2, then each block read and
# written (pread 4 to 6, pwrite 4 to 6), writeback started, the record
# (pwrite 7, at SIZE), flush 3 for both, the size cut to SIZE + 512 and
# flush 4. "de" reads its record first (pread 1) and writes none; "rxen" and
# "rxde" write none; both end with the size cut back to SIZE.
#
# (name, operation, syscall, action, which call, proof in the log, printed, exit, file)
ROWS = [
    ("en: no room for the journal", "en", "fallocate", "error=ENOSPC", 1,
     rf"fallocate\(\d+, FALLOC_FL_KEEP_SIZE, {SIZE}, \d+\) = -1 ENOSPC", "io error", 0, OLD),
    ("en: a file system without preallocation", "en", "fallocate", "error=EOPNOTSUPP", 1,
     r"fallocate\(.*\) = -1 EOPNOTSUPP", "ok", 1, NEW),
    ("en: writing the first slot fails", "en", "pwrite64", "error=EIO", 1,
     rf"pwrite64\(\d+, .*, 512, {JOURNAL.slots[1]}\) = -1 EIO", "io error", 0, OLD),
    ("en: the first flush fails", "en", "fdatasync", "error=EIO", 1,
     r"fdatasync\(\d+\) += -1 EIO", "io error", 0, RUN),
    ("en: a read for the piece hashes fails", "en", "pread64", "error=EIO", 2,
     rf"pread64\(\d+, .*, {BLOCK}, {BLOCK}\) = -1 EIO", "io error", 0, OLD),
    ("en: writing the piece hashes fails", "en", "pwrite64", "error=EIO", 2,
     rf"pwrite64\(\d+, .*, {HASHES}, {JOURNAL.areas[0]}\) = -1 EIO", "io error", 0, OLD),
    ("en: writing the zone's slot fails", "en", "pwrite64", "error=EIO", 3,
     rf"pwrite64\(\d+, .*, 512, {JOURNAL.slots[0]}\) = -1 EIO", "io error", 0, OLD),
    ("en: the flush before the zone fails", "en", "fdatasync", "error=EIO", 2,
     r"fdatasync\(\d+\) += -1 EIO", "io error", 0, RUN),
    ("en: a read in the middle of the zone fails", "en", "pread64", "error=EIO", 5,
     rf"pread64\(\d+, .*, {BLOCK}, {BLOCK}\) = -1 EIO", "io error", 0, OLD),
    ("en: writing the first block fails", "en", "pwrite64", "error=EIO", 4,
     rf"pwrite64\(\d+, .*, {BLOCK}, 0\) = -1 EIO", "io error", 0, OLD),
    ("en: writing the last block fails", "en", "pwrite64", "error=EIO", 6,
     rf"pwrite64\(\d+, .*, {SIZE - LAST}, {LAST}\) = -1 EIO", "io error", 0, OLD),
    ("en: writing the last block fails, every write after it too", "en", "pwrite64",
     "error=EIO", "6+", rf"pwrite64\(\d+, .*, {SIZE - LAST}, {LAST}\) = -1 EIO", "io error",
     0, RUN),
    ("en: writing the record fails", "en", "pwrite64", "error=EIO", 7,
     rf"pwrite64\(\d+, .*, 512, {SIZE}\) = -1 EIO", "io error", 0, OLD),
    ("en: the flush of the zone and the record fails", "en", "fdatasync", "error=EIO", 3,
     r"fdatasync\(\d+\) += -1 EIO", "io error", 0, RUN),
    ("en: cutting off the journal fails", "en", "ftruncate", "error=EIO", 1,
     rf"ftruncate\(\d+, {SIZE + m.RECORD_SIZE}\) += -1 EIO", "io error", 0, OLD),
    ("en: the last flush fails", "en", "fdatasync", "error=EIO", 4,
     r"fdatasync\(\d+\) += -1 EIO", "io error", 0, NEW),
    ("en: close fails", "en", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", "io error", 0, NEW),
    ("en: killed in the middle of the zone", "en", "pwrite64", "signal=KILL", 5,
     r"killed by SIGKILL", None, -9, RUN),
    ("en: killed before the size is cut", "en", "ftruncate", "signal=KILL", 1,
     r"killed by SIGKILL", None, -9, RUN),
    ("de: reading the record fails", "de", "pread64", "error=EIO", 1,
     rf"pread64\(\d+, .*, 512, {SIZE}\) = -1 EIO", "io error", 0, OLD),
    ("de: writing the first slot fails", "de", "pwrite64", "error=EIO", 1,
     rf"pwrite64\(\d+, .*, 512, {JOURNAL.slots[1]}\) = -1 EIO", "io error", 0, OLD),
    ("de: writing a block fails", "de", "pwrite64", "error=EIO", 5,
     rf"pwrite64\(\d+, .*, {BLOCK}, {BLOCK}\) = -1 EIO", "io error", 0, OLD),
    ("de: cutting off the record and the journal fails", "de", "ftruncate", "error=EIO", 1,
     rf"ftruncate\(\d+, {SIZE}\) += -1 EIO", "io error", 0, OLD),
    ("de: killed at the flush after the zone", "de", "fdatasync", "signal=KILL", 3,
     r"killed by SIGKILL", None, -9, RUN),
    ("rxen: writing the first block fails", "rxen", "pwrite64", "error=EIO", 4,
     rf"pwrite64\(\d+, .*, {BLOCK}, 0\) = -1 EIO", "io error", 0, OLD),
    ("rxen: cutting off the journal fails", "rxen", "ftruncate", "error=EIO", 1,
     rf"ftruncate\(\d+, {SIZE}\) += -1 EIO", "io error", 0, OLD),
    ("rxen: killed in the middle of the zone", "rxen", "pwrite64", "signal=KILL", 5,
     r"killed by SIGKILL", None, -9, RUN),
    ("rxde: a read in the middle of the zone fails", "rxde", "pread64", "error=EIO", 5,
     rf"pread64\(\d+, .*, {BLOCK}, {BLOCK}\) = -1 EIO", "io error", 0, OLD),
    ("rxde: the flush after the zone fails", "rxde", "fdatasync", "error=EIO", 3,
     r"fdatasync\(\d+\) += -1 EIO", "io error", 0, RUN),
    ("x=xxx: read of the record fails", "x=xxx", "pread64", "error=EIO", 1,
     rf"pread64\(\d+, .*, 512, {SIZE}\) = -1 EIO", "unknown", 0, OLD),
    ("x=xxx: close fails (nothing was written)", "x=xxx", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", PEEK, 1, OLD),
    ("any: open fails", "en", "openat", "error=EACCES", 1,
     r"openat\(.*\) = -1 EACCES", "", 0, OLD),
    ("any: the file type check fails", "de", "newfstatat", "error=EIO", 1,
     r"newfstatat\(\d+, \"\", .*\) = -1 EIO", "", 0, OLD),
]

# Commands other than the two that finish or undo an interrupted run: each
# must print the one line that says so and change nothing. (The operation
# killed, then each command's argument vector.)
OTHERS = [
    ("en", [["x=xxx"], ["en", "1", "8"], ["en", "2", "7"], ["de", "1", "8"], ["de", "3", "7"],
            ["rxen", "1", "7"], ["rxde", "1", "7"]]),
    ("rxde", [["x=xxx"], ["rxde", "2", "8"], ["rxen", "1", "9"], ["en", "2", "9"],
              ["de", "2", "9"]]),
]


def run_row(tavo, work, op, syscall, action, when):
    """Runs `op` with one fault injected; returns (exit, output, file, log)."""
    d = m.fresh_dir(work, "row")
    trace = os.path.join(d, "trace.txt")
    m.write(os.path.join(d, NAME), op.start)
    prefix = ["strace", "-f", "-qq", "-o", trace, "-P", NAME, "-e", f"trace={syscall}",
              "-e", f"inject={syscall}:{action}:when={when}"]
    rc, out = m.run([tavo, NAME] + op.args, d, prefix=prefix)
    return rc, out, os.path.join(d, NAME), m.read(trace).decode("latin-1")


def others(tavo, work, ops, tally):
    for keyword, commands in OTHERS:
        op = ops[keyword]
        _, _, path, _ = run_row(tavo, work, op, "pwrite64", "signal=KILL", 5)
        left = m.read(path)
        for argv in commands:
            rc, out = m.run([tavo, NAME] + argv, os.path.dirname(path))
            text = m.body(out)
            if argv[0] != "x=xxx":
                text = m.without_timing(text)
            problems = []
            if rc != 0 or text is None or not text.startswith(m.interrupted(NAME)) or \
                    text.count(b"\r\n") != 1:
                problems.append(f"exit {rc}, printed {text!r}")
            if m.read(path) != left:
                problems.append("file changed")
            tally.check(f"{keyword} interrupted, then {' '.join(argv)}", problems)


def run(args, tally):
    tavo, work = args.tavo, args.work
    why = strace_available(work)
    if why:
        tally.skipped.append(f"all {len(ROWS)} rows: {why}")
        return
    ops = {op.keyword: op for op in operations(SIZE)}
    for name, keyword, syscall, action, when, proof, printed, status, state in ROWS:
        op = ops[keyword]
        rc, out, path, log = run_row(tavo, work, op, syscall, action, when)
        after = m.read(path)
        problems = []
        if not re.search(proof, log):
            problems.append("the fault did not fire at the named call")
        expected = {
            "io error": m.io_error(keyword, NAME),
            "ok": op.ok_body,
            "unknown": b"unknown tavo?file?\r\n",
            PEEK: op.ok_body,
            "": b"",
            None: None,
        }[printed]
        text, timed = m.split_timing(m.body(out))
        if timed != (keyword != "x=xxx" and status != -9):
            problems.append("timing line " + ("printed" if timed else "missing"))
        if expected is not None and text != expected:
            problems.append(f"printed {text!r}, expected {expected!r}")
        if rc != status:
            problems.append(f"exit {rc}, expected {status}")
        if state == OLD and after != op.start:
            problems.append("file differs from the original")
        if state == NEW and after != op.success:
            problems.append("file is not the operation's result")
        if state == RUN:
            problem = recovers(tavo, work, path, op)
            if problem:
                problems.append(problem)
        tally.check(f"{name:60s} exit {rc:3d}  file: {state}", problems)
    others(tavo, work, ops, tally)


if __name__ == "__main__":
    sys.exit(m.main(run, "fault table"))
