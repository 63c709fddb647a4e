#!/usr/bin/env python3
"""Runs the same commands with the Linux tool and with a Windows build of it,
each in a scratch folder holding the same files, and compares the output
bytes, the exit codes and the files afterwards.

Two things may differ: the echo of the program name (the system hands each
program its own name) and the timing value.

    compare_platforms.py --linux build/native/console/tavo \\
        --windows build/mingw-i686/console/tavo.exe --prefix cmake/wine-run.sh
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import tavo_model as m  # noqa: E402
from run_e2e import run_through_runner, runner_command  # noqa: E402

FILES = {
    "a.bin": m.pattern(140000, 3),
    "empty.bin": b"",
    "small.txt": b"plain text\r\n",
}

# One session of commands, run in order on the same files.
COMMANDS = [
    [], ["a.bin"], ["a.bin", "EN"], ["a.bin", "x=xx"],
    ["a.bin", "en", "3", "200"], ["a.bin", "x=xxx"], ["a.bin", "de", "2", "200"],
    ["a.bin", "de", "3", "7"], ["a.bin", "de", "3", "200"], ["a.bin", "x=xxx"],
    ["a.bin", "rxen", "1", "99"], ["a.bin", "rxde", "1", "99"], ["a.bin", "rxen", "9", "1"],
    ["a.bin", "rxde", "257", "1"], ["a.bin", "encrypt", "2abc", "-5", "extra"],
    ["a.bin", "decrypt", "2", "1"], ["empty.bin", "en", "4", "7"], ["empty.bin", "x=xxx"],
    ["empty.bin", "de", "4", "7"], ["empty.bin", "de", "4", "7"], ["small.txt", "x=xxx"],
    ["missing.bin", "en", "1", "1"], ["missing.bin", "x=xxx"],
    ["small.txt", "en", "99999999999", "1"],
]


def normalise(output):
    lines = output.split(b"\r\n")
    if len(lines) > 2:
        lines[2] = b"<program name>"
    return m.TIMING.sub(b"use time: < Ns\r\n", b"\r\n".join(lines))


def session(command_prefix, folder, executable=None):
    for name, content in FILES.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)
    results = []
    for args in COMMANDS:
        if executable:
            done = subprocess.run(command_prefix + args, executable=executable, cwd=folder,
                                  capture_output=True, timeout=120)
        else:
            done = run_through_runner(command_prefix + args, folder, timeout=120)
        files = {}
        for name in FILES:
            with open(os.path.join(folder, name), "rb") as f:
                files[name] = f.read()
        results.append((normalise(done.stdout), reasons(done.stderr), done.returncode, files))
    return results


def reasons(errors):
    """Standard error with the reasons cut off: where the system refused, its
    words differ between Linux and Windows ("No such file or directory",
    "File not found"); which file failed must not."""
    return re.sub(rb"(?m)^(tavo: .*?): [^:\r\n]*\r$", rb"\1: ...\r", errors)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", required=True)
    parser.add_argument("--windows", required=True)
    parser.add_argument("--prefix", default="")
    options = parser.parse_args()
    if not os.path.exists(options.linux):
        print("SKIPPED: no Linux build at %s" % options.linux)
        return m.SKIP
    scratch = tempfile.mkdtemp(prefix="tavo-compare-")
    try:
        os.mkdir(os.path.join(scratch, "linux"))
        os.mkdir(os.path.join(scratch, "windows"))
        # Named as Windows names the program, so the usage lines can match.
        linux = session(["tavo.exe"], os.path.join(scratch, "linux"),
                        executable=os.path.abspath(options.linux))
        windows = session(runner_command(options.prefix) + [os.path.abspath(options.windows)],
                          os.path.join(scratch, "windows"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    differences = 0
    for args, a, b in zip(COMMANDS, linux, windows):
        for what, x, y in zip(("output", "standard error", "exit code", "files"), a, b):
            if x != y:
                differences += 1
                print("DIFFERENT %s for tavo %s:\n  linux:   %r\n  windows: %r"
                      % (what, " ".join(args), x if what != "files" else "...",
                         y if what != "files" else "..."))
    print("%d commands compared, %d differences" % (len(COMMANDS), differences))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
