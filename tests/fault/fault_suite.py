#!/usr/bin/env python3
"""Fault table: one injected fault per row at a named point of an operation,
with the exact output, the result and the file's bytes afterwards.

Every row first checks, in strace's log, that the failing call is the one the
row names (for example the write of the last chunk at offset 196,602); a row
whose fault does not fire there is a failure, a row whose technique is not
available is counted as skipped.

usage: fault_suite.py --tavo PATH --work DIR
"""

import argparse
import os
import re
import sys

import tavo_model as m
from fault_loop import NAME, SKIP, operations, refuses, strace_available

SIZE = 200000  # chunks at 0, 65,534, 131,068 and 196,602 (3,398 bytes)
OLD, NEW = "old bytes", "new bytes"
ZEROS = "partly transformed, zeros for a record"
PEEK = "peek line"

# (name, operation, syscall, action, which call, proof in the log, printed, exit, file)
ROWS = [
    ("en: reserving the record's room fails", "en", "pwrite64", "error=EIO", 1,
     r"pwrite64\(\d+, .*, 512, 200000\) = -1 EIO", "io error", 0, OLD),
    ("en: read fails in the middle", "en", "pread64", "error=EIO", 3,
     r"pread64\(\d+, .*, 65534, 131068\) = -1 EIO", "io error", 0, OLD),
    ("en: write of the first chunk fails", "en", "pwrite64", "error=EIO", 2,
     r"pwrite64\(\d+, .*, 65534, 0\) = -1 EIO", "io error", 0, OLD),
    ("en: write of the last chunk fails", "en", "pwrite64", "error=EIO", 5,
     r"pwrite64\(\d+, .*, 3398, 196602\) = -1 EIO", "io error", 0, OLD),
    ("en: write of the record fails", "en", "pwrite64", "error=EIO", 6,
     r"pwrite64\(\d+, .*, 512, 200000\) = -1 EIO", "io error", 0, OLD),
    ("en: write of the record fails, every write after it too", "en", "pwrite64", "error=EIO", "6+",
     r"pwrite64\(\d+, .*, 512, 200000\) = -1 EIO", "io error", 0, ZEROS),
    ("en: size query fails", "en", "newfstatat", "error=EIO", 2,
     r"newfstatat\(\d+, \"\", .*\) = -1 EIO", "io error", 0, OLD),
    ("en: close fails", "en", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", "io error", 0, NEW),
    ("en: killed in the middle of the pass", "en", "pwrite64", "signal=KILL", 3,
     r"killed by SIGKILL", None, -9, ZEROS),
    ("de: zeroing the record fails", "de", "pwrite64", "error=EIO", 1,
     r"pwrite64\(\d+, .*, 512, 200000\) = -1 EIO", "io error", 0, OLD),
    ("de: read fails in the middle", "de", "pread64", "error=EIO", 4,
     r"pread64\(\d+, .*, 65534, 131068\) = -1 EIO", "io error", 0, OLD),
    ("de: write of the first chunk fails", "de", "pwrite64", "error=EIO", 2,
     r"pwrite64\(\d+, .*, 65534, 0\) = -1 EIO", "io error", 0, OLD),
    ("de: write of the last chunk fails", "de", "pwrite64", "error=EIO", 5,
     r"pwrite64\(\d+, .*, 3398, 196602\) = -1 EIO", "io error", 0, OLD),
    ("de: size change fails", "de", "ftruncate", "error=EIO", 1,
     r"ftruncate\(\d+, 200000\) += -1 EIO", "io error", 0, OLD),
    ("de: size change fails, every write after it too", "de", "ftruncate", "error=EIO", 1,
     r"ftruncate\(\d+, 200000\) += -1 EIO", "io error", 0, ZEROS),
    ("de: close fails", "de", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", "io error", 0, NEW),
    ("de: killed in the middle of the pass", "de", "pwrite64", "signal=KILL", 3,
     r"killed by SIGKILL", None, -9, ZEROS),
    ("rxen: read fails in the middle", "rxen", "pread64", "error=EIO", 3,
     r"pread64\(\d+, .*, 65534, 131068\) = -1 EIO", "io error", 0, OLD),
    ("rxen: write of the first chunk fails", "rxen", "pwrite64", "error=EIO", 1,
     r"pwrite64\(\d+, .*, 65534, 0\) = -1 EIO", "io error", 0, OLD),
    ("rxen: write of the last chunk fails", "rxen", "pwrite64", "error=EIO", 4,
     r"pwrite64\(\d+, .*, 3398, 196602\) = -1 EIO", "io error", 0, OLD),
    ("rxen: close fails", "rxen", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", "io error", 0, NEW),
    ("rxde: read fails in the middle", "rxde", "pread64", "error=EIO", 3,
     r"pread64\(\d+, .*, 65534, 131068\) = -1 EIO", "io error", 0, OLD),
    ("rxde: write of the first chunk fails", "rxde", "pwrite64", "error=EIO", 1,
     r"pwrite64\(\d+, .*, 65534, 0\) = -1 EIO", "io error", 0, OLD),
    ("rxde: write of the last chunk fails", "rxde", "pwrite64", "error=EIO", 4,
     r"pwrite64\(\d+, .*, 3398, 196602\) = -1 EIO", "io error", 0, OLD),
    ("rxde: size query fails", "rxde", "newfstatat", "error=EIO", 2,
     r"newfstatat\(\d+, \"\", .*\) = -1 EIO", "io error", 0, OLD),
    ("rxde: close fails", "rxde", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", "io error", 0, NEW),
    ("x=xxx: read of the record fails", "x=xxx", "pread64", "error=EIO", 1,
     r"pread64\(\d+, .*, 512, 200000\) = -1 EIO", "unknown", 0, OLD),
    ("x=xxx: close fails (nothing was written)", "x=xxx", "close", "error=EIO", 1,
     r"close\(\d+\) += -1 EIO", PEEK, 1, OLD),
    ("any: open fails", "en", "openat", "error=EACCES", 1,
     r"openat\(.*\) = -1 EACCES", "", 0, OLD),
    ("any: the file type check fails", "de", "newfstatat", "error=EIO", 1,
     r"newfstatat\(\d+, \"\", .*\) = -1 EIO", "", 0, OLD),
]

# A second fault for rows that need one: "de" writes the zeros and four
# chunks (calls 1 to 5) before it sets the size; from call 6 on it would
# encrypt the data again.
ALSO = {"de: size change fails, every write after it too": "pwrite64:error=EIO:when=6+"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavo", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    tavo, work = os.path.abspath(args.tavo), os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    why = strace_available(work)
    if why:
        print(f"SKIPPED: all {len(ROWS)} rows: {why}")
        return SKIP
    ops = {op.keyword: op for op in operations(SIZE)}
    failures = 0
    for name, keyword, syscall, action, when, proof, printed, status, state in ROWS:
        op = ops[keyword]
        d = m.fresh_dir(work, "row")
        trace = os.path.join(d, "trace.txt")
        m.write(os.path.join(d, NAME), op.start)
        inject = ["-e", f"inject={syscall}:{action}:when={when}"]
        traced = syscall
        if name in ALSO:
            inject += ["-e", f"inject={ALSO[name]}"]
            traced += "," + ALSO[name].split(":")[0]
        prefix = ["strace", "-f", "-qq", "-o", trace, "-P", NAME, "-e", f"trace={traced}"] + inject
        rc, out = m.run([tavo, NAME] + op.args, d, prefix=prefix)
        after = m.read(os.path.join(d, NAME))
        log = m.read(trace).decode("latin-1")
        problems = []
        if not re.search(proof, log):
            problems.append("the fault did not fire at the named call")
        expected = {
            "io error": m.io_error(keyword, NAME),
            "unknown": b"unknown tavo?file?\r\n",
            PEEK: op.ok_body,
            "": b"",
            None: None,
        }[printed]
        text = m.body(out)
        if keyword != "x=xxx" and status != -9:
            if text is None or not re.search(rb"use time: < \d+s\r\n$", text):
                problems.append("no timing line")
            text = m.without_timing(text)
        if expected is not None and text != expected:
            problems.append(f"printed {text!r}, expected {expected!r}")
        if rc != status:
            problems.append(f"exit {rc}, expected {status}")
        if state == OLD and after != op.start:
            problems.append("file differs from the original")
        if state == NEW and after != op.success:
            problems.append("file is not the operation's result")
        if state == ZEROS:
            data_len = len(op.start) - (m.RECORD_SIZE if keyword == "de" else 0)
            if after[data_len:] != bytes(m.RECORD_SIZE) or after[:data_len] == op.start[:data_len]:
                problems.append("expected partly transformed data and 512 zeros")
            elif not refuses(tavo, work, after, op):
                problems.append("de or the peek accepted the file")
        verdict = "FAIL: " + "; ".join(problems) if problems else "ok"
        failures += bool(problems)
        print(f"{name:58s} exit {rc:3d}  file: {state:40s} {verdict}")
    print(f"fault table rows run: {len(ROWS)}, skipped: 0, failed: {failures}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
