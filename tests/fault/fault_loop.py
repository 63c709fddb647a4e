#!/usr/bin/env python3
"""Fault loop over the real tavo process.

For each operation and each kind of fault, fail call N for N = 1, 2, ... until
the operation completes without reaching call N, once failing only call N and
once every call from N on. After every run the file and the output must be
one of the outcomes in `classify`; anything else is a violation. A file left
neither as before nor finished must hold an interrupted run, and `recovers`
proves it: the peek refuses it unchanged, the same command finishes a copy
exactly, the inverse command undoes it exactly.

usage: fault_loop.py TECHNIQUE --tavo PATH --work DIR [--shim PATH]
  TECHNIQUE: eio (strace error injection), kill (strace SIGKILL at call N),
             batchkill (a run over a folder killed at a random write, run again),
             signal (strace: SIGINT, SIGTERM, SIGHUP at write N, and at every
             write from N), short (preloaded shim: real short writes), fsize
             (file-size limit), diskfull (small tmpfs; needs root), twice (a
             second run while a first one holds the file), bigkill (real
             SIGKILLs at random moments of a 256 MiB pass), fuse (runs
             through a bindfs mount: flushes must reach the files beneath)
Exits 0 when every case holds, 1 on a violation, 77 when the technique is not
available here (counted as skipped by CTest).
"""

import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import tavo_model as m  # noqa: E402

NAME = "data.bin"
WAY_RECORD, FACTOR_RECORD = 1, 7  # add: undoing with the wrong direction shows
WAY_RUDE, FACTOR_RUDE = 2, 9
SIZES = (0, 1000, 200000)  # 200,000 bytes: three full chunks and a short one
MAX_CALLS = 200


class Op:
    def __init__(self, keyword, args, start, success, ok_body):
        self.keyword, self.args = keyword, args
        self.start, self.success, self.ok_body = start, success, ok_body
        # The command that undoes an interrupted run of this one.
        self.inverse = [m.INVERSE[keyword]] + args[1:] if keyword in m.INVERSE else None


def operations(size):
    plain = m.pattern(size, seed=size + 1)
    enc = m.encrypted(plain, NAME, WAY_RECORD, FACTOR_RECORD)
    peek = m.peek_line(NAME, WAY_RECORD, FACTOR_RECORD)
    h, r = [str(WAY_RECORD), str(FACTOR_RECORD)], [str(WAY_RUDE), str(FACTOR_RUDE)]
    return [
        Op("en", ["en"] + h, plain, enc, m.ok_line("en", NAME)),
        Op("de", ["de"] + h, enc, plain, m.ok_line("de", NAME)),
        Op("rxen", ["rxen"] + r, plain, m.forward(plain, WAY_RUDE, FACTOR_RUDE),
           m.ok_line("rxen", NAME)),
        Op("rxde", ["rxde"] + r, plain, m.reverse(plain, WAY_RUDE, FACTOR_RUDE),
           m.ok_line("rxde", NAME)),
        Op("x=xxx", ["x=xxx"], enc, enc, peek),
    ]


def recovers(tavo, work, left, op, left_digest=None):
    """None when the file at `left` holds an interrupted run of `op` that
    the peek refuses unchanged, the same command (on a copy) finishes
    exactly and the inverse command undoes exactly; otherwise what went
    wrong. op.start and op.success are bytes, or Digests for files
    too large to hold; so is `left_digest`, the file's own, if known."""
    if op.inverse is None:
        return "the peek never writes, yet the file changed"
    d = os.path.dirname(left)
    copy = os.path.join(m.fresh_dir(work, "copy"), NAME)
    shutil.copyfile(left, copy)
    unchanged = left_digest if left_digest is not None else m.read(left)
    # (what, file, argv, exit code, printed, file afterwards); the peek's
    # line is matched on its start, the rest of its wording is free.
    runs = [("peek", d, ["x=xxx"], 0, m.interrupted(NAME), unchanged),
            ("same command", os.path.dirname(copy), op.args, 1, op.ok_body, op.success),
            ("inverse", d, op.inverse, 1, m.ok_line(op.inverse[0], NAME), op.start)]
    for what, cwd, argv, want_rc, want_text, want_file in runs:
        rc, out = m.run([tavo, NAME] + argv, cwd)
        text = m.body(out)
        if argv[0] == "x=xxx":
            fine = text is not None and text.startswith(want_text) and \
                text.count(b"\r\n") == 1 and text.endswith(b"\r\n")
        else:
            fine = m.without_timing(text) == want_text
        same = m.holds(os.path.join(cwd, NAME), want_file)
        if rc != want_rc or not fine or not same:
            return f"{what} ({' '.join(argv)}): exit {rc}, printed {text!r}, " \
                   f"file {'as expected' if same else 'wrong'}"
    return None


def recovers_bytes(tavo, work, after, op, why):
    left = os.path.join(m.fresh_dir(work, "left"), NAME)
    m.write(left, after)
    problem = recovers(tavo, work, left, op)
    if problem and why is not None:
        why.append(problem)
    return problem is None


def classify(op, fault, always, rc, out, after, tavo, work, why=None):
    """Names the outcome of one run, or returns None for a violation (and
    adds to `why` what a recovery found wrong).

    fault is the failing system call (or "short", "fsize", "diskfull", or
    a signal name for the signal technique); always tells that every call
    from N on fails (or, for signals, that a second signal follows)."""
    text = m.body(out)
    if op.keyword != "x=xxx":
        text = m.without_timing(text)
    # Both hold for a run that changes nothing: the peek, an empty file.
    before, done = after == op.start, after == op.success
    where = "as before" if before else "finished" if done else None

    def interrupted():
        return where is None and recovers_bytes(tavo, work, after, op, why)

    # A write, size change or flush reported as failed must never be taken
    # for done: ok after one is a lost write (short writes are retried).
    ignored = fault in ("pwrite64", "ftruncate", "fdatasync")
    if rc == 1 and text == op.ok_body and done and not ignored:
        return "ok"
    if fault.startswith("SIG"):
        if rc == 0 and text == m.cancelled(op.keyword, NAME) and before:
            return "cancelled, file as before"
        # A signal that follows the first after a pause (no write for a
        # second: a slow build classifying a large zone before putting it
        # back) ends the process, as it should.
        if always and rc == -getattr(signal, fault):
            if where is not None:
                return f"ended by a later signal, file {where}"
            return "ended by a later signal, interrupted, recovered" if interrupted() else None
        return None
    if rc == -9:
        if where is not None:
            return f"killed, file {where}"
        return "killed, interrupted, recovered" if interrupted() else None
    if rc == 0 and before:
        if text == m.io_error(op.keyword, NAME):
            return "failed, file as before"
        if text == b"" and fault in ("openat", "newfstatat"):
            return "not opened, file as before"
        if op.keyword == "x=xxx" and text == b"unknown tavo?file?\r\n":
            return "peek refused, file as before"
    if rc == 0 and text == m.io_error(op.keyword, NAME):
        if fault == "close" and done:
            return "failed at close, operation done"
        if fault == "fdatasync" and done:
            return "failed at the last flush, operation done"
        # A flush that failed may have dropped data the kernel held: the
        # run is not undone as if the data were safe, the file keeps the
        # interrupted run. So may the data, the record and the size change
        # once every later write or read fails, or the disk stays full (an
        # undo that writes into a hole needs room), and the undo cannot finish.
        undo_blocked = always and fault in ("pread64", "pwrite64", "ftruncate") or \
            fault == "diskfull"
        if (fault == "fdatasync" or undo_blocked) and interrupted():
            return "failed, cannot undo, interrupted, recovered"
    return None


def one_run(args, op, d, prefix=(), env=None):
    path = os.path.join(d, NAME)
    m.write(path, op.start)
    rc, out = m.run([args.tavo, NAME] + op.args, d, prefix=prefix, env=env)
    return rc, out, m.read(path)


def loop(args, tally, technique, fault, always, make_prefix, fired, env_for=None, sizes=SIZES):
    """Fails call N = 1, 2, ... until a run ends without reaching call N.
    Returns the outcomes seen: {(size, keyword): [outcome, ...]}."""
    seen = {}
    for size in sizes:
        for op in operations(size):
            outcomes = seen.setdefault((size, op.keyword), [])
            for n in range(1, MAX_CALLS):
                d = m.fresh_dir(args.work, "case")
                trace = os.path.join(d, "trace.txt")
                env = env_for(n, trace) if env_for else None
                rc, out, after = one_run(args, op, d, make_prefix(n, trace), env)
                if not fired(trace):
                    # The run ended before call N: it must be a clean success.
                    if classify(op, "none", False, rc, out, after, args.tavo, args.work) != "ok":
                        tally.failed.append(f"{technique} {op.keyword} size {size}: "
                                             f"clean run failed: rc {rc} {out!r}")
                    break
                why = []
                outcome = classify(op, fault, always, rc, out, after, args.tavo, args.work, why)
                mode = "every call from N" if always else "call N only"
                case = f"{technique} {fault} ({mode}) {op.keyword} size {size} N={n}"
                if outcome is None:
                    tally.failed.append(f"{case}: rc {rc} output {m.body(out)!r} "
                                         f"size {len(after)} (start {len(op.start)})"
                                         + "".join(f"; {w}" for w in why))
                else:
                    tally.add(f"{technique}:{fault}", outcome)
                    outcomes.append(outcome)
                if args.verbose:
                    print(case, "->", outcome)
    return seen


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
    return b"(INJECTED)" in text or b"killed by SIGKILL" in text or b"--- SIG" in text


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
    for syscall in ("openat", "newfstatat", "pread64", "pwrite64", "ftruncate", "fdatasync",
                    "close"):
        for always in (False, True):
            when = (lambda n: f"error=EIO:when={n}+") if always else \
                (lambda n: f"error=EIO:when={n}")
            loop(args, tally, "eio", syscall, always, strace_prefix(syscall, when), strace_fired)


def technique_kill(args, tally):
    why = strace_available(args.work)
    if why:
        tally.skipped.append(f"kill: {why}")
        return
    for syscall in ("pread64", "pwrite64", "ftruncate", "fdatasync"):
        loop(args, tally, "kill", syscall, False,
             strace_prefix(syscall, lambda n: f"signal=KILL:when={n}"), strace_fired)


# A file of two zones: the console tool's zone is 2048 chunks (the test finds
# the border between the zones in each run's writes, and fails if there is
# none). A signal inside a zone that is not the last must cancel the run;
# inside the last one it may also let it finish.
TWO_ZONES = 2048 * m.CHUNK + 1000
SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP")
SIGNAL_SEED = 7


def technique_signal(args, tally):
    """A signal on entry to write N stops the run at the next zone boundary;
    more at every write after it are the same request. Every write
    of runs on small files (one zone), with each signal alone and with
    SIGINT twice; then chosen writes of runs over two zones."""
    why = strace_available(args.work)
    if why:
        tally.skipped.append(f"signal: {why}")
        return
    for sig in SIGNALS:
        for second in (False, True) if sig == "SIGINT" else (False,):
            when = (lambda n: f"signal={sig[3:]}:when={n}+") if second else \
                (lambda n: f"signal={sig[3:]}:when={n}")
            loop(args, tally, "signal", sig, second, strace_prefix("pwrite64", when),
                 strace_fired, sizes=(0, 200000))
    signals_in_two_zones(args, tally)
    signals_in_a_batch(args, tally)


def signals_in_a_batch(args, tally):
    """Signals at the third write of every thread of a run over a folder,
    once or at every write after it and mixed (as a process group, a closing
    terminal or timeout send them): the run stops, prints its summary and
    leaves every file as before or done, none interrupted."""
    plain = {f"f{i:02}.bin": m.pattern(200000, seed=i) for i in range(24)}
    enc = {n: m.encrypted(c, "d/" + n, WAY_RECORD, FACTOR_RECORD) for n, c in plain.items()}
    for signals in (["INT:when=3+"], ["TERM:when=3+", "HUP:when=4+"], ["HUP:when=3"]):
        root = m.fresh_dir(args.work, "batch")
        os.makedirs(os.path.join(root, "d"))
        for n, c in plain.items():
            m.write(os.path.join(root, "d", n), c)
        syscalls = ("pwrite64", "flock")
        injections = [f"inject={syscalls[i]}:signal={sig}" for i, sig in enumerate(signals)]
        rc, out = m.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                         "trace=" + ",".join(syscalls)] +
                        [x for i in injections for x in ("-e", i)] +
                        [args.tavo, "d", "en", str(WAY_RECORD), str(FACTOR_RECORD), "-r"], root)
        last = m.body(out).split(b"\r\n")[-2:-1]
        left = [n for n in plain if m.read(os.path.join(root, "d", n)) not in (plain[n], enc[n])]
        case = f"signals {' and '.join(signals)} in a run over 24 files"
        if rc != 1 or not last or not re.match(rb"tavo en: .* files left$", last[0]) or left:
            tally.failed.append(f"{case}: exit {rc}, last line {last!r}, interrupted: {left}")
        else:
            tally.add("signal, a run over a folder", "stopped, summary, none interrupted")
        if args.verbose:
            print(case, "->", rc, last, left)


def signals_in_two_zones(args, tally):
    """For "de" and "rxen" on a file of two zones (the small files above
    cover every operation): the first write, writes of the first zone drawn
    with a fixed seed, the last write of its data and the writes after it,
    the signals taking turns."""
    rng = random.Random(SIGNAL_SEED)
    print(f"two zones: seed {SIGNAL_SEED}")
    turn = 0
    for op in operations(TWO_ZONES):
        if op.keyword not in ("de", "rxen"):
            continue
        d = m.fresh_dir(args.work, "case")
        trace = os.path.join(d, "trace.txt")
        one_run(args, op, d, ["strace", "-qq", "-o", trace, "-P", NAME, "-e", "trace=pwrite64"])
        # (offset, count) of each write; data writes end within the data.
        writes = [tuple(int(x) for x in line.rsplit(b")", 1)[0].rsplit(b", ", 2)[1:])
                  for line in m.read(trace).split(b"\n") if b"pwrite64(" in line]
        length = len(op.start) - (m.RECORD_SIZE if op.keyword == "de" else 0)
        data = [offset + count <= length for offset, count in writes]
        first = data.index(True)
        # The first zone ends where the journal is written again.
        last = next((i for i in range(first, len(writes)) if not data[i]), None)
        if last is None or not any(data[last:]):
            tally.failed.append(f"signal, two zones: {op.keyword} of {TWO_ZONES} bytes "
                                 "ran as one zone")
            continue
        chosen = sorted({1, first + 1, last, *rng.sample(range(first + 2, last), 3),
                         *range(last + 1, len(writes) + 1)})
        for n in chosen:
            sig, second = SIGNALS[turn % 3], turn % 4 == 3
            turn += 1
            when = f"signal={sig[3:]}:when={n}" + ("+" if second else "")
            rc, out, after = one_run(args, op, d, strace_prefix("pwrite64", lambda _: when)(n, trace))
            why = []
            outcome = classify(op, sig, second, rc, out, after, args.tavo, args.work, why)
            case = f"signal {sig}{' twice' if second else ''} at write {n} of {len(writes)} " \
                   f"(last of the first zone: {last}) {op.keyword} size {TWO_ZONES}"
            if not strace_fired(trace) or outcome is None or \
                    (n <= last and not second and outcome != "cancelled, file as before"):
                tally.failed.append(f"{case}: rc {rc} output {m.body(out)!r} -> {outcome}"
                                     + "".join(f"; {w}" for w in why))
            else:
                tally.add(f"signal, two zones ({'in the first' if n <= last else 'after it'})",
                          outcome)
            if args.verbose:
                print(case, "->", outcome)


def technique_short(args, tally):
    if not args.shim or not os.path.exists(args.shim):
        tally.skipped.append("short: shim library not built")
        return
    shim = os.path.abspath(args.shim)
    for mode in ("once", "always", "then_eio"):
        def env_for(n, trace, mode=mode):
            env = dict(os.environ, LD_PRELOAD=shim, TAVO_SHORT_WRITE_AT=str(n),
                       TAVO_SHORT_WRITE_MODE=mode, TAVO_SHORT_WRITE_LOG=trace,
                       ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0")
            return env
        fault = "pwrite64" if mode == "then_eio" else "short"
        # "then_eio" is one short write and one failure: it must be undone.
        loop(args, tally, f"short:{mode}", fault, False, lambda n, t: (),
             lambda t: os.path.exists(t), env_for)


def technique_twice(args, tally):
    """Two runs at once on one file. The first stops for HOLD seconds on
    entry to its first write, holding the file; meanwhile each command is
    run once more on the same file and must be refused at once, unchanged.
    Then the first must end as if it had run alone."""
    why = strace_available(args.work)
    if why:
        tally.skipped.append(f"twice: {why}")
        return
    hold = 2.0
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    ops = operations(200000)
    for op in ops:
        if op.inverse is None:
            continue
        d = m.fresh_dir(args.work, "case")
        trace, path = os.path.join(d, "trace.txt"), os.path.join(d, NAME)
        m.write(path, op.start)
        first = subprocess.Popen(
            ["strace", "-f", "-qq", "-o", trace, "-P", NAME, "-e", "trace=pwrite64",
             "-e", f"inject=pwrite64:delay_enter={int(hold * 1e6)}:when=1", args.tavo, NAME]
            + op.args, cwd=d, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        # strace prints the call on entry, before the delay.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and first.poll() is None and \
                not (os.path.exists(trace) and b"pwrite64(" in m.read(trace)):
            time.sleep(0.01)
        for second in ops:
            started = time.monotonic()
            rc, out = m.run([args.tavo, NAME] + second.args, d)
            took = time.monotonic() - started
            text = m.without_timing(m.body(out)) if second.inverse else m.body(out)
            case = f"twice: {second.keyword} while {op.keyword} holds the file"
            problems = []
            if first.poll() is not None:
                problems.append("the first run had ended: no overlap")
            if rc != 0 or text is None or not text.startswith(m.in_use(second.keyword, NAME)) \
                    or text.count(b"\r\n") != 1:
                problems.append(f"exit {rc}, printed {text!r}")
            if took > hold / 2:
                problems.append(f"took {took:.2f} s: it waited instead of being refused")
            if problems:
                tally.failed.append(f"{case}: {'; '.join(problems)}")
            else:
                tally.add("twice", "second run refused at once")
            if args.verbose:
                print(case, "->", problems or "refused")
        out, _ = first.communicate(timeout=60)
        if first.returncode != 1 or m.without_timing(m.body(out)) != op.ok_body or \
                m.read(path) != op.success:
            tally.failed.append(f"twice: {op.keyword} held: exit {first.returncode}, "
                                 f"printed {m.body(out)!r}, file "
                                 f"{'as before' if m.read(path) == op.start else 'neither as before nor finished'}")
        else:
            tally.add("twice", "first run done alone")


BIG = 256 << 20
BIG_KILLS, BIG_SEED = 5, 20261207


def technique_bigkill(args, tally):
    """Real SIGKILLs at random moments of passes over a 256 MiB file, each
    followed by the checks of `recovers`, by a Digest of the file. The data and the
    model's results are made 1 MiB at a time; the files go on a tmpfs when
    one can be mounted, where a flush costs nothing."""
    print(f"seed {BIG_SEED}, {BIG_KILLS} kills of 256 MiB passes")
    rng = random.Random(BIG_SEED)
    root = m.fresh_dir(args.work, "big")
    mounted = os.geteuid() == 0 and subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=1300m", "tavo-bigkill", root],
        stderr=subprocess.DEVNULL).returncode == 0
    try:
        big_kills(args, tally, rng, root)
    finally:
        if mounted:
            subprocess.run(["umount", root])


def big_kills(args, tally, rng, root):
    plain, enc = os.path.join(root, "plain"), os.path.join(root, "enc")
    h, r = (WAY_RECORD, FACTOR_RECORD), (WAY_RUDE, FACTOR_RUDE)
    tables = {"enc": m.table(*h), "rxen": m.table(*r), "rxde": m.table(m.INVERSE_WAY[r[0]], r[1])}
    digests = {name: m.Digest() for name in ("plain", "enc", "rxen", "rxde")}
    with open(plain, "wb") as p, open(enc, "wb") as e:
        for i in range(BIG >> 20):
            block = hashlib.shake_128(b"tavo %d %d" % (BIG_SEED, i)).digest(1 << 20)
            p.write(block)
            digests["plain"].update(block)
            for name, t in tables.items():
                moved = block.translate(t)
                digests[name].update(moved)
                if name == "enc":
                    e.write(moved)
        rec = m.record(NAME, *h)
        e.write(rec)
        digests["enc"].update(rec)
    d = {name: h.hexdigest() for name, h in digests.items()}
    hs, rs = [str(x) for x in h], [str(x) for x in r]
    ops = [(Op("en", ["en"] + hs, d["plain"], d["enc"], m.ok_line("en", NAME)), plain),
           (Op("de", ["de"] + hs, d["enc"], d["plain"], m.ok_line("de", NAME)), enc),
           (Op("rxen", ["rxen"] + rs, d["plain"], d["rxen"], m.ok_line("rxen", NAME)), plain),
           (Op("rxde", ["rxde"] + rs, d["plain"], d["rxde"], m.ok_line("rxde", NAME)), plain)]
    case_dir = os.path.join(root, "case")
    os.makedirs(case_dir)
    path = os.path.join(case_dir, NAME)
    # How long a whole pass takes here, to draw the moments of the kills
    # from (early in it: a busy machine makes the next pass faster or slower).
    whole, start = ops[2]
    shutil.copyfile(start, path)
    began = time.monotonic()
    rc, out = m.run([args.tavo, NAME] + whole.args, case_dir, timeout=300)
    took = time.monotonic() - began
    print(f"a whole pass takes {took:.3f} s")
    if rc != 1 or m.without_timing(m.body(out)) != whole.ok_body or \
            m.file_digest(path) != whole.success:
        tally.failed.append(f"bigkill: a whole {whole.keyword} pass: exit {rc}, {m.body(out)!r}")
    for k in range(BIG_KILLS):
        op, start = ops[k % len(ops)]
        delay = rng.uniform(0, 0.7 * took)
        shutil.copyfile(start, path)
        run = subprocess.Popen([args.tavo, NAME] + op.args, cwd=case_dir,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        run.kill()
        rc = run.wait()
        got = m.file_digest(path)
        where = "as before" if got == op.start else "finished" if got == op.success else None
        case = f"bigkill {op.keyword} killed after {delay:.3f} s"
        if rc != -9:
            outcome = "ended before the kill" if where == "finished" and rc == 1 else None
        elif where is not None:
            outcome = f"killed, file {where}"
        else:
            problem = recovers(args.tavo, root, path, op, got)
            outcome = "killed, interrupted, recovered" if problem is None else None
            if problem:
                case += f": {problem}"
        if outcome is None:
            tally.failed.append(f"{case}: exit {rc}, file {where or 'interrupted?'}")
        else:
            tally.add("bigkill", outcome)
        print(case, "->", outcome)


BATCH_KILLS, BATCH_SEED = 10, 20261208


def writes_per_file(traces):
    """The pwrite64 calls on each file, from `strace -ff` traces of each
    thread: strace counts an injection's `when` per thread, and a thread
    that runs a file makes at least that file's writes."""
    counts = {}
    for trace in traces:
        names = {}
        for line in trace.splitlines():
            opened = re.match(rb'openat\(.*"([^"]*)".*\) = (\d+)$', line)
            if opened:
                names[opened.group(2)] = opened.group(1)
            written = re.match(rb"pwrite64\((\d+),", line)
            if written:
                name = names[written.group(1)]
                counts[name] = counts.get(name, 0) + 1
    return counts


def technique_batchkill(args, tally):
    """A run over a folder killed at a random write and run again, ten
    times for "en" and ten for "de": every file must end exactly once
    transformed, none twice, none left out."""
    why = strace_available(args.work)
    if why:
        tally.skipped.append(f"batchkill: {why}")
        return
    rng = random.Random(BATCH_SEED)
    print(f"seed {BATCH_SEED}")
    plain = {f"f{i}.bin": m.pattern(size, seed=i) for i, size in
             enumerate((0, 1000, 200000, 70000, 1000, 200000))}
    enc = {n: m.encrypted(c, "d/" + n, WAY_RECORD, FACTOR_RECORD) for n, c in plain.items()}
    key = [str(WAY_RECORD), str(FACTOR_RECORD)]
    for keyword, start, end in (("en", plain, enc), ("de", enc, plain)):
        writes = None
        for k in range(BATCH_KILLS + 1):
            root = m.fresh_dir(args.work, "batch")
            os.makedirs(os.path.join(root, "d"))
            for n, c in start.items():
                m.write(os.path.join(root, "d", n), c)
            trace = os.path.join(root, "trace.txt")
            argv = [args.tavo, "d", keyword] + key + ["-r"]
            if writes is None:  # first a clean run, to count the writes of each file
                m.run(["strace", "-ff", "-qq", "-o", trace, "-e", "trace=openat,pwrite64"] + argv,
                      root)
                traces = [m.read(os.path.join(root, t)) for t in os.listdir(root)
                          if t.startswith("trace.txt.")]
                writes = max(writes_per_file(traces).values())
                continue
            n = rng.randrange(1, writes + 1)
            rc, _ = m.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=pwrite64", "-e",
                           f"inject=pwrite64:signal=KILL:when={n}"] + argv, root)
            again, out = m.run(argv, root)
            wrong = [f for f, c in end.items() if m.read(os.path.join(root, "d", f)) != c]
            case = f"batchkill {keyword} killed at write {n} of {writes}"
            if rc != -9 or again != 0 or wrong:
                tally.failed.append(f"{case}: exit {rc}, then {again}; wrong: {wrong}; "
                                     f"{m.body(out)!r}")
            else:
                tally.add("batchkill", "killed, run again, every file done once")
            if args.verbose:
                print(case, "->", wrong or "every file done once")


def flushes_beneath(trace, under):
    """The fsync and fdatasync calls of the traced bindfs on each file beneath
    `under` (strace -y names each descriptor's path)."""
    counts = {}
    for line in m.read(trace).splitlines():
        call = re.search(rb"\b(?:fsync|fdatasync)\(\d+<([^>]*)>", line)
        if call and call.group(1).startswith(under.encode() + b"/"):
            name = call.group(1)[len(under) + 1:].decode()  # under: its real path
            counts[name] = counts.get(name, 0) + 1
    return counts


def traced_run(pid, trace, argv, cwd):
    """Runs tavo once strace follows every thread of the process `pid`.
    Returns (exit status, stdout), or None when strace cannot attach."""
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-y", "-p", str(pid), "-o", trace,
                               "-e", "trace=fsync,fdatasync"], stderr=subprocess.DEVNULL)
    tasks, deadline = f"/proc/{pid}/task", time.monotonic() + 10
    try:
        while True:
            try:
                if all(re.search(rb"TracerPid:\s*[1-9]", m.read(f"{tasks}/{t}/status"))
                       for t in os.listdir(tasks)):
                    break
            except FileNotFoundError:  # a thread ended meanwhile
                pass
            if time.monotonic() > deadline or tracer.poll() is not None:
                return None
            time.sleep(0.01)
        return m.run(argv, cwd)
    finally:
        tracer.terminate()
        tracer.wait()


def technique_fuse(args, tally):
    """Runs through a bindfs mount, whose process passes every flush it gets
    on to the file beneath: every file of a run over a folder must get there
    at least as many flushes as the file of a single run."""
    missing = [w for w in ("bindfs", "strace") if shutil.which(w) is None]
    if missing or not os.path.exists("/dev/fuse"):
        tally.skipped.append(f"fuse: missing {', '.join(missing) or '/dev/fuse'}")
        return
    under, mnt = os.path.realpath(m.fresh_dir(args.work, "under")), m.fresh_dir(args.work, "mnt")
    trace = os.path.join(args.work, "trace.txt")
    bindfs = subprocess.Popen(["bindfs", "-f", under, mnt], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.ismount(mnt) and bindfs.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if not os.path.ismount(mnt):
            tally.skipped.append("fuse: bindfs could not mount")
            return
        key = [str(WAY_RECORD), str(FACTOR_RECORD)]
        m.write(os.path.join(mnt, "one.bin"), m.pattern(4096))
        ran = traced_run(bindfs.pid, trace, [args.tavo, "one.bin", "en"] + key, mnt)
        if ran is None:
            tally.skipped.append("fuse: strace cannot attach to bindfs")
            return
        single = flushes_beneath(trace, under).get("one.bin", 0)
        print(f"a single run: exit {ran[0]}, {single} flushes beneath")
        if ran[0] != 1 or single == 0:
            tally.failed.append(f"fuse: single run: exit {ran[0]}, {single} flushes beneath")
            return
        plain = {f"d/f{i:02}.bin": m.pattern(4096, seed=i) for i in range(24)}
        enc = {n: m.encrypted(c, n, WAY_RECORD, FACTOR_RECORD) for n, c in plain.items()}
        os.makedirs(os.path.join(mnt, "d"))
        for n, c in plain.items():
            m.write(os.path.join(mnt, n), c)
        for keyword, end in (("en", enc), ("de", plain)):
            rc, _ = traced_run(bindfs.pid, trace, [args.tavo, "d", keyword] + key + ["-r"],
                               mnt) or (None, None)
            counts = flushes_beneath(trace, under)
            print(f"{keyword} over 24 files: exit {rc}, flushes beneath each:",
                  " ".join(str(counts.get(n, 0)) for n in sorted(end)))
            few = [n for n in end if counts.get(n, 0) < single]
            wrong = [n for n, c in end.items() if m.read(os.path.join(mnt, n)) != c]
            tally.check(f"fuse: {keyword} over 24 files", [f"exit {rc}"] * (rc != 0) +
                        [f"fewer flushes beneath than a single run's {single}: {few}"] * bool(few) +
                        [f"wrong bytes: {wrong}"] * bool(wrong))
    finally:
        subprocess.run(["fusermount3", "-u", mnt], stderr=subprocess.DEVNULL)
        try:
            bindfs.wait(timeout=10)
        except subprocess.TimeoutExpired:
            bindfs.kill()
            bindfs.wait()


def prlimit_prefix(limit):
    return ["prlimit", f"--fsize={limit}"]


def technique_fsize(args, tally):
    if shutil.which("prlimit") is None:
        tally.skipped.append("fsize: prlimit not installed")
        return
    for size in (1000, 200000):
        for op in operations(size):
            # A run first grows the file by its journal: a limit under
            # the final size always stops it, one well past it never does,
            # one just past it may.
            final = len(op.success)
            limits = sorted({0, 1, m.CHUNK, 100000, 2 * m.CHUNK, len(op.start),
                             len(op.start) + 511, final, final + (1 << 20)})
            for limit in limits:
                d = m.fresh_dir(args.work, "case")
                # The limit applies to writes only: lay the file down first.
                rc, out, after = one_run(args, op, d, prlimit_prefix(limit))
                writes = op.keyword != "x=xxx" and len(op.start) > 0
                fails = writes and limit < final
                room = not writes or limit >= final + (1 << 20)
                case = f"fsize {limit} {op.keyword} size {size}"
                why = []
                outcome = classify(op, "fsize", False, rc, out, after, args.tavo, args.work, why)
                if outcome is None or (fails and outcome == "ok") or (room and outcome != "ok"):
                    tally.failed.append(f"{case}: rc {rc} {m.body(out)!r} -> {outcome}"
                                         + "".join(f"; {w}" for w in why))
                else:
                    tally.add("fsize: " + ("under the final size" if fails else
                                           "room to spare" if room else "just past"), outcome)
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
        # A sparse file with room for its journal only: writing into its
        # holes fills the disk part way through the pass.
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
            fill(os.path.join(d, "filler"), 256 * 1024 if op is sparse else 0)
            rc, out = m.run([args.tavo, NAME] + op.args, d)
            after = m.read(path)
            # Every run grows the file by its journal first.
            grows = len(op.start) > 0 or op.keyword == "en"
            why = []
            outcome = classify(op, "diskfull", False, rc, out, after, args.tavo, args.work, why)
            case = f"diskfull {op.keyword} size {size}{' sparse' if op is sparse else ''}"
            if outcome is None or (grows and outcome == "ok") or (not grows and outcome != "ok"):
                tally.failed.append(f"{case}: rc {rc} {m.body(out)!r} -> {outcome}"
                                     + "".join(f"; {w}" for w in why))
            else:
                tally.add("diskfull" if grows else "diskfull (nothing to write)", outcome)
            if args.verbose:
                print(case, "->", outcome)
    finally:
        subprocess.run(["umount", mnt])


def fill(path, leave):
    """Takes every free byte of the file system, then gives `leave` back."""
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
    if leave:
        os.truncate(path, max(0, os.path.getsize(path) - leave))


TECHNIQUES = {"eio": technique_eio, "kill": technique_kill, "signal": technique_signal,
              "short": technique_short, "fsize": technique_fsize,
              "diskfull": technique_diskfull, "twice": technique_twice,
              "bigkill": technique_bigkill, "batchkill": technique_batchkill,
              "fuse": technique_fuse}


def run(args, tally):
    print(f"technique {args.technique}:")
    TECHNIQUES[args.technique](args, tally)


def arguments(parser):
    parser.add_argument("technique", choices=sorted(TECHNIQUES))
    parser.add_argument("--shim")
    parser.add_argument("-v", "--verbose", action="store_true")


if __name__ == "__main__":
    sys.exit(m.main(run, "fault", arguments))
