#!/usr/bin/env python3
"""Fault loop over the real tavo process.

For each operation and each kind of fault, fail call N for N = 1, 2, ... until
the operation completes without reaching call N, once failing only call N and
once every call from N on. After every run the file and the output must be
one of the outcomes in `classify`; anything else is a violation.

usage: fault_loop.py TECHNIQUE --tavo PATH --work DIR [--shim PATH]
  TECHNIQUE: eio (strace error injection), kill (strace SIGKILL at call N),
             short (preloaded shim: real short writes), fsize (file-size
             limit), diskfull (small tmpfs; needs root)
Exits 0 when every case holds, 1 on a violation, 77 when the technique is not
available here (counted as skipped by CTest).
"""

import argparse
import os
import shutil
import subprocess
import sys

import tavo_model as m

SKIP = 77
NAME = "data.bin"
WAY_HDR, FACTOR_HDR = 1, 7      # add: undoing with the wrong direction shows
WAY_RUDE, FACTOR_RUDE = 2, 9
SIZES = (0, 1000, 200000)       # 200,000 bytes: three full chunks and a short one
MAX_CALLS = 200


class Op:
    def __init__(self, keyword, args, start, success, ok_body):
        self.keyword, self.args = keyword, args
        self.start, self.success, self.ok_body = start, success, ok_body


def unscrambled_name(rec):
    # scramble_byte is an involution on every byte value, so it also unscrambles
    out = bytearray()
    for b in rec[m.NAME_OFFSET:m.NAME_OFFSET + m.NAME_SIZE]:
        c = m.scramble_byte(b)
        if c == 0:
            break
        out.append(c)
    return bytes(out)


def operations(size):
    plain = m.pattern(size, seed=size + 1)
    enc = m.encrypted(plain, NAME, WAY_HDR, FACTOR_HDR)
    rec = enc[-m.RECORD_SIZE:]
    peek = b"tavo: %X t a %s %d %x v o\r\n" % (rec[0] | (rec[1] << 8), unscrambled_name(rec),
                                              WAY_HDR, FACTOR_HDR)
    h, r = [str(WAY_HDR), str(FACTOR_HDR)], [str(WAY_RUDE), str(FACTOR_RUDE)]
    return [
        Op("en", ["en"] + h, plain, enc, m.ok_line("en", NAME)),
        Op("de", ["de"] + h, enc, plain, m.ok_line("de", NAME)),
        Op("rxen", ["rxen"] + r, plain, m.forward(plain, WAY_RUDE, FACTOR_RUDE),
           m.ok_line("rxen", NAME)),
        Op("rxde", ["rxde"] + r, plain, m.reverse(plain, WAY_RUDE, FACTOR_RUDE),
           m.ok_line("rxde", NAME)),
        Op("x=xxx", ["x=xxx"], enc, enc, peek),
    ]


def chunk_prefix(before, after, transformed):
    """True when `after` holds `transformed` for whole chunks from offset 0 and
    `before` for the rest: what an interrupted pass leaves behind."""
    n = len(before)
    for k in range(0, n // m.CHUNK + 2):
        cut = min(k * m.CHUNK, n)
        if after[:cut] == transformed[:cut] and after[cut:n] == before[cut:n]:
            return True
    return False


def refuses(tavo, work, data, op):
    """The real tool must refuse a file left by an interrupted "en" or "de":
    "de" names it as unknown and leaves it alone, the peek finds no record."""
    d = m.fresh_dir(work, "refuse")
    path = os.path.join(d, NAME)
    m.write(path, data)
    rc, out = m.run([tavo, NAME, "de", str(WAY_HDR), str(FACTOR_HDR)], d)
    de_ok = rc == 0 and m.without_timing(m.body(out)) == b"unknown tavo?file(data.bin)\r\n"
    rc2, out2 = m.run([tavo, NAME, "x=xxx"], d)
    peek_ok = rc2 == 0 and m.body(out2) == b"unknown tavo?file?\r\n"
    return de_ok and peek_ok and m.read(path) == data


def classify(op, fault, always, rc, out, after, tavo, work):
    """Names the outcome of one run, or returns None for a violation."""
    text = m.body(out)
    if op.keyword != "x=xxx":
        text = m.without_timing(text)
    is_write = fault in ("pwrite64", "ftruncate", "short", "fsize", "diskfull")
    if rc == 1 and text == op.ok_body and after == op.success:
        return "ok"
    if rc == 0 and after == op.start:
        if text == m.io_error(op.keyword, NAME):
            return "failed, file as before"
        if text == b"" and fault in ("openat", "newfstatat"):
            return "not opened, file as before"
        if op.keyword == "x=xxx" and text == b"unknown tavo?file?\r\n":
            return "peek refused, file as before"
    if fault == "close" and rc == 0 and text == m.io_error(op.keyword, NAME) and \
            after == op.success:
        return "failed at close, operation done"
    if rc == -9:
        if after == op.start:
            return "killed, file as before"
        if op.keyword in ("rxen", "rxde") and chunk_prefix(op.start, after, op.success):
            return "killed, whole chunks transformed"
        if op.keyword in ("en", "de"):
            data_len = len(op.start) - (m.RECORD_SIZE if op.keyword == "de" else 0)
            tail = after[data_len:]
            if len(tail) == m.RECORD_SIZE and tail == bytes(m.RECORD_SIZE) and \
                    chunk_prefix(op.start[:data_len], after[:data_len], op.success[:data_len]) and \
                    refuses(tavo, work, after, op):
                return "killed, zeros for a record, refused"
        return None
    if always and (is_write or fault == "pread64") and rc == 0 and \
            text == m.io_error(op.keyword, NAME):
        # Every read or write fails from here on, so what was transformed
        # cannot be read back or rewritten: the failure is reported, and a file
        # of "en" or "de" must then carry no valid record and be refused.
        what = "reads" if fault == "pread64" else "writes"
        if op.keyword in ("rxen", "rxde") and len(after) == len(op.start) and \
                chunk_prefix(op.start, after, op.success):
            return f"failed, cannot undo ({what} keep failing)"
        if op.keyword in ("en", "de") and not m.has_valid_record(after) and \
                refuses(tavo, work, after, op):
            return f"failed, cannot undo ({what} keep failing), refused"
    return None


class Tally:
    def __init__(self):
        self.counts, self.skipped, self.violations = {}, [], []

    def add(self, technique, outcome):
        key = (technique, outcome)
        self.counts[key] = self.counts.get(key, 0) + 1

    def report(self):
        run = sum(self.counts.values())
        for (tech, outcome), n in sorted(self.counts.items()):
            print(f"  {tech:28s} {outcome:52s} {n:5d}")
        for s in self.skipped:
            print(f"  SKIPPED: {s}")
        for v in self.violations:
            print(f"  VIOLATION: {v}")
        print(f"fault cases run: {run}, skipped: {len(self.skipped)}, "
              f"violations: {len(self.violations)}")
        return 1 if self.violations else 0


def one_run(args, op, d, prefix=(), env=None):
    path = os.path.join(d, NAME)
    m.write(path, op.start)
    rc, out = m.run([args.tavo, NAME] + op.args, d, prefix=prefix, env=env)
    return rc, out, m.read(path)


def loop(args, tally, technique, fault, always, make_prefix, fired, env_for=None):
    """Fails call N = 1, 2, ... until a run ends without reaching call N."""
    for size in SIZES:
        for op in operations(size):
            for n in range(1, MAX_CALLS):
                d = m.fresh_dir(args.work, "case")
                trace = os.path.join(d, "trace.txt")
                env = env_for(n, trace) if env_for else None
                rc, out, after = one_run(args, op, d, make_prefix(n, trace), env)
                if not fired(trace):
                    # The run ended before call N: it must be a clean success.
                    if classify(op, fault, always, rc, out, after, args.tavo, args.work) != "ok":
                        tally.violations.append(f"{technique} {op.keyword} size {size}: "
                                                f"clean run failed: rc {rc} {out!r}")
                    break
                outcome = classify(op, fault, always, rc, out, after, args.tavo, args.work)
                mode = "every call from N" if always else "call N only"
                case = f"{technique} {fault} ({mode}) {op.keyword} size {size} N={n}"
                if outcome is None:
                    tally.violations.append(f"{case}: rc {rc} output {m.body(out)!r} "
                                            f"size {len(after)} (start {len(op.start)})")
                else:
                    tally.add(f"{technique}:{fault}", outcome)
                if args.verbose:
                    print(case, "->", outcome)


def strace_prefix(syscall, action):
    def make(n, trace):
        return ["strace", "-f", "-qq", "-o", trace, "-P", NAME, "-e", f"trace={syscall}",
                "-e", f"inject={syscall}:{action(n)}"]
    return make


def strace_fired(trace):
    try:
        text = m.read(trace)
    except FileNotFoundError:
        return False
    return b"(INJECTED)" in text or b"killed by SIGKILL" in text


def strace_available(work):
    if shutil.which("strace") is None:
        return "strace not installed"
    d = m.fresh_dir(work, "probe")
    m.write(os.path.join(d, "p"), b"x")
    r = subprocess.run(["strace", "-qq", "-o", os.path.join(d, "t"), "-P", "p", "-e",
                        "inject=openat:error=EIO", "cat", "p"], cwd=d,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if r.returncode == 0 or b"(INJECTED)" not in m.read(os.path.join(d, "t")):
        return "strace cannot inject faults here (ptrace not permitted?)"
    return None


def technique_eio(args, tally):
    why = strace_available(args.work)
    if why:
        tally.skipped.append(f"eio: {why}")
        return
    for syscall in ("openat", "newfstatat", "pread64", "pwrite64", "ftruncate", "close"):
        for always in (False, True):
            when = (lambda n: f"error=EIO:when={n}+") if always else \
                (lambda n: f"error=EIO:when={n}")
            loop(args, tally, "eio", syscall, always, strace_prefix(syscall, when), strace_fired)


def technique_kill(args, tally):
    why = strace_available(args.work)
    if why:
        tally.skipped.append(f"kill: {why}")
        return
    for syscall in ("pread64", "pwrite64", "ftruncate"):
        loop(args, tally, "kill", syscall, False,
             strace_prefix(syscall, lambda n: f"signal=KILL:when={n}"), strace_fired)


def technique_short(args, tally):
    if not args.shim or not os.path.exists(args.shim):
        tally.skipped.append("short: shim library not built")
        return
    for mode in ("once", "always", "then_eio"):
        def env_for(n, trace, mode=mode):
            env = dict(os.environ, LD_PRELOAD=args.shim, TAVO_SHORT_WRITE_AT=str(n),
                       TAVO_SHORT_WRITE_MODE=mode, TAVO_SHORT_WRITE_LOG=trace,
                       ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0")
            return env
        fault = "pwrite64" if mode == "then_eio" else "short"
        # "then_eio" is one short write and one failure: it must be undone.
        loop(args, tally, f"short:{mode}", fault, False, lambda n, t: (),
             lambda t: os.path.exists(t), env_for)


def prlimit_prefix(limit):
    return ["prlimit", f"--fsize={limit}"]


def technique_fsize(args, tally):
    if shutil.which("prlimit") is None:
        tally.skipped.append("fsize: prlimit not installed")
        return
    for size in (1000, 200000):
        for op in operations(size):
            need = len(op.start) + (m.RECORD_SIZE if op.keyword == "en" else 0)
            limits = sorted({0, 1, m.CHUNK, 100000, 2 * m.CHUNK, len(op.start),
                             len(op.start) + 1, len(op.start) + 511, need})
            for limit in limits:
                d = m.fresh_dir(args.work, "case")
                # The limit applies to writes only: lay the file down first.
                rc, out, after = one_run(args, op, d, prlimit_prefix(limit))
                writes = op.keyword != "x=xxx" and len(op.start) > 0
                fires = writes and limit < need
                case = f"fsize {limit} {op.keyword} size {size}"
                outcome = classify(op, "fsize", False, rc, out, after, args.tavo, args.work)
                expected_fail = fires
                if outcome is None or (expected_fail and outcome == "ok") or \
                        (not expected_fail and outcome != "ok"):
                    tally.violations.append(f"{case}: rc {rc} {m.body(out)!r} -> {outcome}")
                else:
                    tally.add("fsize" if fires else "fsize (limit not reached)", outcome)
                if args.verbose:
                    print(case, "->", outcome)


def technique_diskfull(args, tally):
    if os.geteuid() != 0:
        tally.skipped.append("diskfull: mounting a tmpfs needs root")
        return
    mnt = m.fresh_dir(args.work, "tmpfs")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tavo-fault", mnt],
                      stderr=subprocess.DEVNULL).returncode != 0:
        tally.skipped.append("diskfull: mount -t tmpfs not permitted here")
        return
    try:
        # File sizes on whole pages, so the record needs a new page.
        cases = []
        for size in (4096 * 49, 4096 * 16):
            for op in operations(size):
                if op.keyword != "x=xxx":
                    cases.append((op, size, 0))
        # A sparse file: writing into its holes fills the disk part way.
        sparse = Op("rxen", ["rxen", str(WAY_RUDE), str(FACTOR_RUDE)], bytes(3 * 1024 * 1024 // 2),
                    m.forward(bytes(3 * 1024 * 1024 // 2), WAY_RUDE, FACTOR_RUDE),
                    m.ok_line("rxen", NAME))
        for op, size, _ in cases + [(sparse, len(sparse.start), 1)]:
            subprocess.run(["rm", "-rf", os.path.join(mnt, "d")])
            d = os.path.join(mnt, "d")
            os.makedirs(d)
            path = os.path.join(d, NAME)
            if op is sparse:
                with open(path, "wb") as f:
                    f.truncate(len(op.start))
            else:
                m.write(path, op.start)
            fill(os.path.join(d, "filler"))
            rc, out = m.run([args.tavo, NAME] + op.args, d)
            after = m.read(path)
            grows = op.keyword == "en" or op is sparse
            outcome = classify(op, "diskfull", False, rc, out, after, args.tavo, args.work)
            case = f"diskfull {op.keyword} size {size}{' sparse' if op is sparse else ''}"
            if outcome is None or (grows and outcome == "ok") or (not grows and outcome != "ok"):
                tally.violations.append(f"{case}: rc {rc} {m.body(out)!r} -> {outcome}")
            else:
                tally.add("diskfull" if grows else "diskfull (no new space needed)", outcome)
            if args.verbose:
                print(case, "->", outcome)
    finally:
        subprocess.run(["umount", mnt])


def fill(path):
    """Takes every free byte of the file system."""
    try:
        with open(path, "wb") as f:
            block = bytes(4096)
            while True:
                f.write(block)
                f.flush()
    except OSError:
        pass
    try:
        with open(path, "ab") as f:
            while True:
                f.write(b"\0")
                f.flush()
    except OSError:
        pass


TECHNIQUES = {"eio": technique_eio, "kill": technique_kill, "short": technique_short,
              "fsize": technique_fsize, "diskfull": technique_diskfull}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("technique", choices=sorted(TECHNIQUES))
    parser.add_argument("--tavo", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--shim")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    args.tavo = os.path.abspath(args.tavo)
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    tally = Tally()
    TECHNIQUES[args.technique](args, tally)
    print(f"technique {args.technique}:")
    status = tally.report()
    if status == 0 and tally.skipped and not tally.counts:
        return SKIP
    return status


if __name__ == "__main__":
    sys.exit(main())
