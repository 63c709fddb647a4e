#!/usr/bin/env python3
"""The console tool's progress line, seen through a pseudo-terminal.

A pass slowed down by strace (every pwrite waits 25 ms, so 64 MiB in blocks of 1 MiB take
well over a second on any machine) runs twice with the same command: once
with standard error on a pseudo-terminal, which must show the progress line
redrawn at most four times a second and cleared at the end, and once with
standard error on a pipe, which must stay empty. Standard output is the
same in both, up to the timing value.

    console_progress.py --tavo build/native/console/tavo --work DIR
"""
import os
import pty
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
import tavo_model as m  # noqa: E402

SIZE = 64 << 20
SLOW_WRITES = ["strace", "-f", "-o", os.devnull, "-e", "inject=pwrite64:delay_enter=25000"]
# "\r", then percent, bytes done of total, speed, time left.
LINE = re.compile(rb"\r *([0-9]+)%  [0-9.]+ [KMGT]?i?B of 64\.0 MiB  [0-9.]+ [KMGT]?i?B/s  "
                  rb"[0-9]+:[0-9]{2} left *")


def run(command, stderr_on_terminal):
    """Runs the command; returns its standard output, standard error and the
    seconds it took."""
    if stderr_on_terminal:
        master, slave = pty.openpty()
        errors = slave
    else:
        master = None
        errors = subprocess.PIPE
    start = time.monotonic()
    # LeakSanitizer cannot run under ptrace (strace slows the writes here).
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=errors, env=env)
    if master is None:
        out, err = process.communicate(timeout=120)
        return out, err, time.monotonic() - start
    os.close(slave)
    err = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal's last writer has gone
            break
        if not chunk:
            break
        err += chunk
    out = process.stdout.read()
    process.wait(timeout=120)
    os.close(master)
    return out, err, time.monotonic() - start


def check(args, tally):
    if shutil.which("strace") is None:
        tally.skipped.append("strace not found")
        return
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    path = os.path.join(args.work, "slow.bin")
    with open(path, "wb") as f:
        f.truncate(SIZE)
    # Way 4 inverts every byte, so the second run puts the file back.
    command = SLOW_WRITES + [args.tavo, path, "rxen", "4", "1"]
    failures = []

    out_terminal, err_terminal, seconds = run(command, stderr_on_terminal=True)
    out_pipe, err_pipe, _ = run(command, stderr_on_terminal=False)
    if b"Operation not permitted" in err_pipe and b"ptrace" in err_pipe:
        tally.skipped.append("strace may not trace here")
        return

    lines = LINE.findall(err_terminal)
    drawn = err_terminal.count(b"%")
    if not lines:
        failures.append("no progress line on the terminal: %r" % err_terminal[:300])
    if len(lines) != drawn:
        failures.append("%d lines drawn, %d of the expected form: %r"
                        % (drawn, len(lines), err_terminal[:300]))
    # Quiet for the first second, then at most four a second.
    if drawn > 4 * (seconds - 1) + 1:
        failures.append("%d lines drawn in %.1f s" % (drawn, seconds))
    if not re.search(rb"\r {20,}\r$", err_terminal):
        failures.append("the line is not cleared at the end: %r" % err_terminal[-120:])
    if err_pipe != b"":
        failures.append("standard error not a terminal, yet it holds %r" % err_pipe[:300])
    if m.without_timing(out_terminal) != m.without_timing(out_pipe) or b" ok.\r\n" not in out_pipe:
        failures.append("standard output differs: %r and %r" % (out_terminal, out_pipe))
    with open(path, "rb") as f:
        if f.read() != bytes(SIZE):
            failures.append("the file is not back to zeros after two inversions")

    tally.check("progress line: %d lines drawn in %.1f s" % (drawn, seconds), failures)
    shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(m.main(check, "console_progress"))
