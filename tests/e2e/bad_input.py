#!/usr/bin/env python3
"""Bad input through the real tavo process: things that are not regular
files, a file that cannot be written, files too short for a record, damaged
records, and argument vectors with empty, huge, long and non-ASCII texts.

Each case names the exact output after the banner and echo lines (the timing
line must be there exactly when the run is timed), the exit code and the
file's bytes afterwards. Cases whose set-up is impossible here (no chattr, no
setpriv) are counted as skipped.

usage: bad_input.py --tavo PATH --work DIR
"""

import os
import shutil
import stat
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import tavo_model as m  # noqa: E402

NAME = b"data.bin"


def tavo_run(tavo, argv, cwd, argv0=None, timeout=20, user=None):
    """Runs the tool with byte-string arguments; argv0 replaces element 0."""
    args = [argv0 if argv0 is not None else b"tavo"] + list(argv)
    executable = tavo
    if user is not None:
        args = [b"setpriv", b"--reuid=%d" % user, b"--regid=%d" % user, b"--clear-groups",
                tavo.encode()] + list(argv)
        executable = None
    try:
        p = subprocess.run(args, executable=executable,
                           cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, b""
    return p.returncode, p.stdout


def expect(tally, case, rc, out, want_rc, want_text, timed, file_before=None, file_after=None,
           echo=None):
    problems = []
    if rc is None:
        tally.check(case, ["did not finish within the time limit"])
        return
    text, has_timing = m.split_timing(m.body(out))
    if echo is not None and out.split(b"\r\n")[2] != echo:
        problems.append("echo line differs")
    if has_timing != timed:
        problems.append(f"timing line {'missing' if timed else 'printed'} in {text!r}")
    if text != want_text:
        problems.append(f"printed {text!r}, expected {want_text!r}")
    if rc != want_rc:
        problems.append(f"exit {rc}, expected {want_rc}")
    if file_before is not None and file_after != file_before:
        problems.append("file changed")
    tally.check(case, problems)


KEYWORDS = [(b"en", [b"1", b"7"]), (b"de", [b"1", b"7"]), (b"rxen", [b"2", b"9"]),
            (b"rxde", [b"2", b"9"]), (b"x=xxx", [])]


def not_a_file(tavo, work, tally):
    d = m.fresh_dir(work, "special")
    os.mkdir(os.path.join(d, "dir"))
    os.mkfifo(os.path.join(d, "fifo"))
    targets = [(b"missing.bin", "missing path"), (b"dir", "directory"), (b"fifo", "FIFO"),
               (b"/dev/null", "device /dev/null"), (b"/dev/zero", "device /dev/zero")]
    for path, what in targets:
        for keyword, rest in KEYWORDS:
            rc, out = tavo_run(tavo, [path, keyword] + rest, d, timeout=10)
            # No line from the operation; the peek is untimed.
            expect(tally, f"{what} {keyword.decode()}", rc, out, 0, b"", keyword != b"x=xxx")
    if not stat.S_ISFIFO(os.lstat(os.path.join(d, "fifo")).st_mode):
        tally.check("FIFO still a FIFO", ["it was replaced"])


def unwritable(tavo, work, tally):
    plain = m.pattern(1000)
    d = m.fresh_dir(work, "locked")
    path = os.path.join(d, "data.bin")
    ways = []
    m.write(path, plain)
    if shutil.which("chattr") and subprocess.run(["chattr", "+i", path], stderr=subprocess.DEVNULL).returncode == 0:
        ways.append(("immutable (chattr +i)", None))
    else:
        tally.skipped.append("immutable file: chattr +i not supported here")
    if os.geteuid() == 0 and shutil.which("setpriv"):
        ways.append(("not writable for the user (setpriv --reuid=65534)", 65534))
    else:
        tally.skipped.append("file owned by another user: needs root and setpriv")
    try:
        for what, user in ways:
            if user is not None:
                subprocess.run(["chattr", "-i", path], stderr=subprocess.DEVNULL)
                os.chmod(path, 0o644)
                os.chmod(d, 0o755)
                as_user = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
                # The user must see the file and be unable to write it only.
                readable = subprocess.run(as_user + ["test", "-r", path]).returncode == 0
                writable = subprocess.run(as_user + ["test", "-w", path]).returncode == 0
                if not readable or writable:
                    tally.skipped.append(f"{what}: the file is not readable-only for that "
                                          "user here (folder permissions?)")
                    continue
            for keyword, rest in KEYWORDS:
                rc, out = tavo_run(tavo, [b"data.bin", keyword] + rest, d, user=user)
                # The peek reads only, so it checks a file it may not write.
                peek = keyword == b"x=xxx"
                expect(tally, f"{what} {keyword.decode()}", rc, out, 0,
                       b"unknown tavo?file?\r\n" if peek else b"", not peek, plain, m.read(path))
    finally:
        subprocess.run(["chattr", "-i", path], stderr=subprocess.DEVNULL)


def short_files(tavo, work, tally):
    enc_empty = m.record("data.bin", 1, 7)
    one = b"\x41"
    enc_one = m.forward(one, 1, 7) + m.record("data.bin", 1, 7)
    unknown_de = b"unknown tavo?file(data.bin)\r\n"
    unknown_peek = b"unknown tavo?file?\r\n"
    # (what, content, keyword, way/factor, exit, printed, file afterwards)
    rows = [
        ("empty en", b"", b"en", [b"1", b"7"], 1, m.ok_line("en", NAME), enc_empty),
        ("empty de", b"", b"de", [b"1", b"7"], 0, b"", b""),
        ("empty rxen", b"", b"rxen", [b"2", b"9"], 1, m.ok_line("rxen", NAME), b""),
        ("empty rxde", b"", b"rxde", [b"2", b"9"], 1, m.ok_line("rxde", NAME), b""),
        ("empty peek", b"", b"x=xxx", [], 0, unknown_peek, b""),
        ("511 bytes de", m.pattern(511), b"de", [b"1", b"7"], 0, b"", m.pattern(511)),
        ("511 bytes peek", m.pattern(511), b"x=xxx", [], 0, unknown_peek, m.pattern(511)),
        ("512 plain bytes de", m.pattern(512), b"de", [b"1", b"7"], 0, unknown_de, m.pattern(512)),
        ("512 plain bytes peek", m.pattern(512), b"x=xxx", [], 0, unknown_peek, m.pattern(512)),
        ("513 plain bytes de", m.pattern(513), b"de", [b"1", b"7"], 0, unknown_de, m.pattern(513)),
        ("513 plain bytes peek", m.pattern(513), b"x=xxx", [], 0, unknown_peek, m.pattern(513)),
        ("512 bytes, a record only, de", enc_empty, b"de", [b"1", b"7"], 1, m.ok_line("de", NAME), b""),
        ("513 bytes, one byte and a record, de", enc_one, b"de", [b"1", b"7"], 1,
         m.ok_line("de", NAME), one),
        ("511 bytes en", m.pattern(511), b"en", [b"1", b"7"], 1, m.ok_line("en", NAME),
         m.encrypted(m.pattern(511), "data.bin", 1, 7)),
    ]
    for what, content, keyword, rest, rc_want, text, after in rows:
        d = m.fresh_dir(work, "short")
        m.write(os.path.join(d, "data.bin"), content)
        rc, out = tavo_run(tavo, [NAME, keyword] + rest, d)
        expect(tally, what, rc, out, rc_want, text, keyword != b"x=xxx", after,
               m.read(os.path.join(d, "data.bin")))


def damaged_records(tavo, work, tally):
    """A sample of single-byte changes, end to end (the unit tests change
    every offset in process)."""
    enc = m.encrypted(m.pattern(1000), "data.bin", 1, 7)
    base = len(enc) - m.RECORD_SIZE
    for offset in (0, 1, 2, 3, 4, 130, 258, 259, 260, 261, 262, 263, 400, 511):
        bad = bytearray(enc)
        bad[base + offset] ^= 0x01
        bad = bytes(bad)
        for keyword, rest, text in ((b"de", [b"1", b"7"], b"unknown tavo?file(data.bin)\r\n"),
                                    (b"x=xxx", [], b"unknown tavo?file?\r\n")):
            d = m.fresh_dir(work, "damaged")
            m.write(os.path.join(d, "data.bin"), bad)
            rc, out = tavo_run(tavo, [NAME, keyword] + rest, d)
            expect(tally, f"record byte {offset} changed, {keyword.decode()}", rc, out, 0, text,
                   keyword == b"de", bad, m.read(os.path.join(d, "data.bin")))


def argument_vectors(tavo, work, tally):
    plain = m.pattern(1000)
    long_text = b"1" * 10000
    unknown_kw, usage = m.UNKNOWN_KEYWORD, m.usage()
    enc = m.encrypted(plain, "data.bin", 1, 7)
    # (what, argv after element 0, start, exit, printed, timed, file afterwards)
    rows = [
        ("empty path", [b"", b"en", b"1", b"7"], plain, 0, b"", True, plain),
        ("empty keyword", [NAME, b"", b"1", b"7"], plain, 0, unknown_kw + usage, False, plain),
        ("empty way and factor", [NAME, b"rxen", b"", b""], plain, 1, m.ok_line("rxen", NAME),
         True, m.forward(plain, 1, 1)),
        ("way past 32 bits saturates, low byte 0xFF unknown",
         [NAME, b"rxen", b"99999999999999999999", b"1"], plain, 0,
         b"tavo en file(data.bin) unknown way\r\n", True, plain),
        ("factor past 32 bits saturates to 0x7FFFFFFF",
         [NAME, b"rxen", b"1", b"99999999999999999999"], plain, 1, m.ok_line("rxen", NAME), True,
         m.forward(plain, 1, 0xFF)),
        ("negative way past 32 bits clamps to 1",
         [NAME, b"rxen", b"-99999999999999999999", b"3"], plain, 1, m.ok_line("rxen", NAME), True,
         m.forward(plain, 1, 3)),
        ("de with way 2^32+1 is not way 1", [NAME, b"de", b"4294967297", b"7"], enc, 0,
         b"tavo de file(data.bin) x!=x\r\n", True, enc),
        ("de with factor 2^32+7 is not 7", [NAME, b"de", b"1", b"4294967303"], enc, 0,
         b"tavo de file(data.bin) p!=p\r\n", True, enc),
        ("10,000-digit way", [NAME, b"rxde", long_text, b"1"], plain, 0,
         b"tavo rxde file(data.bin) unknown way\r\n", True, plain),
        ("10,000-character keyword starting with en", [NAME, b"en" + b"x" * 9998, b"1", b"7"],
         plain, 1, m.ok_line("en", NAME), True, enc),
        ("10,000-character keyword", [NAME, b"q" * 10000], plain, 0, unknown_kw + usage, False,
         plain),
        ("10,000-character path", [b"p" * 10000, b"en", b"1", b"7"], plain, 0, b"", True, plain),
        ("non-ASCII keyword", [NAME, b"\xe5\x8a\xa0\xff", b"1", b"7"], plain, 0,
         unknown_kw + usage, False, plain),
        ("non-ASCII way", [NAME, b"rxen", b"\xff3", b"7"], plain, 1, m.ok_line("rxen", NAME), True,
         m.forward(plain, 1, 7)),
        # Mistyped lines are refused before any file is opened; "other.bin"
        # sits beside data.bin, as "tavo *.bin de 3" would name both.
        ("elements after the factor", [NAME, b"rxen", b"3", b"7", b"", b"\xff" * 100], plain, 0,
         b"", False, plain),
        ("an unknown option", [NAME, b"en", b"1", b"7", b"--dryrun"], plain, 0, b"", False, plain),
        ("an unknown short option first", [b"-v", NAME, b"en", b"1", b"7"], plain, 0, b"", False,
         plain),
        ("an unknown option beside a known one", [NAME, b"en", b"1", b"7", b"-r", b"-x"], plain, 2,
         b"", False, plain),
        ("two names, the factor forgotten", [NAME, b"enc.bin", b"de", b"3"], enc, 0, b"", False,
         enc),
        ("two names, decrypt spelled out", [NAME, b"enc.bin", b"decrypt", b"1", b"7"], enc, 0, b"",
         False, enc),
        ("two names, a factor in hex", [NAME, b"enc.bin", b"de", b"1", b"0x7"], enc, 0, b"", False,
         enc),
        ("-- ends the options", [b"--", NAME, b"rxen", b"3", b"7"], plain, 1,
         m.ok_line("rxen", NAME), True, m.forward(plain, 3, 7)),
        ("a negative way is a number", [NAME, b"rxen", b"-3", b"7"], plain, 1,
         m.ok_line("rxen", NAME), True, m.forward(plain, 1, 7)),
    ]
    for what, argv, start, rc_want, text, timed, after in rows:
        d = m.fresh_dir(work, "argv")
        m.write(os.path.join(d, "data.bin"), start)
        m.write(os.path.join(d, "enc.bin"), enc)
        rc, out = tavo_run(tavo, argv, d)
        expect(tally, what, rc, out, rc_want, text, timed, after,
               m.read(os.path.join(d, "data.bin")))
        if m.read(os.path.join(d, "enc.bin")) != enc:
            tally.check(what + ": the second name", ["changed"])
    # A 10,000-byte program name with non-ASCII bytes is echoed unchanged;
    # the usage line names what follows its last backslash.
    d = m.fresh_dir(work, "argv0")
    argv0 = b"\\\xc4\xe3" * 3333 + b"x"
    rc, out = tavo_run(tavo, [], d, argv0=argv0)
    expect(tally, "10,000-byte program name", rc, out, 0,
           m.usage(b"\xc4\xe3x"), False, echo=argv0)


def odd_paths(tavo, work, tally):
    plain = m.pattern(1000)
    d = m.fresh_dir(work, "paths")
    # A file name with a control byte and a GBK-like pair whose second byte
    # is a backslash: only the part after that byte is recorded as the name.
    name = b"x\xd5\\\xce\xc4\x01.bin"
    path = os.path.join(d.encode(), name)
    m.write(path, plain)
    rc, out = tavo_run(tavo, [name, b"en", b"1", b"7"], d)
    expect(tally, "non-ASCII name with a backslash byte, en", rc, out, 1, m.ok_line("en", name),
           True, m.encrypted(plain, name, 1, 7), m.read(path))
    rc, out = tavo_run(tavo, [name, b"x=xxx"], d)
    expect(tally, "non-ASCII name, peek shows the control byte as ?", rc, out, 1,
           m.peek_line(name, 1, 7), False)
    # Paths of about 4,000 bytes, just under the system's limit, and past it.
    deep = d.encode()
    while len(deep) < 3800:
        deep = os.path.join(deep, b"d" * 200)
    os.makedirs(deep)
    long_path = os.path.join(deep, b"f" * (4000 - len(deep) - 1))
    m.write(long_path, plain)
    for keyword, rest, rc_want, after in ((b"en", [b"3", b"7"], 1, m.encrypted(plain, long_path, 3, 7)),
                                          (b"de", [b"3", b"7"], 1, plain)):
        rc, out = tavo_run(tavo, [long_path, keyword] + rest, d)
        expect(tally, f"{len(long_path)}-byte path {keyword.decode()}", rc, out, rc_want,
               m.ok_line(keyword.decode(), long_path), True, after, m.read(long_path))
    too_long = os.path.join(deep, b"f" * 400)
    rc, out = tavo_run(tavo, [too_long, b"en", b"1", b"7"], d)
    expect(tally, f"{len(too_long)}-byte path (past the limit)", rc, out, 0, b"", True)


def deep_trees(tavo, work, tally):
    """Trees deeper than the runs at once times their depth in open files
    (64 files 35 folders down), and than the limit of open files itself
    (3,000 folders down, past the system's path length): every file done,
    with memory that does not grow with the depth squared."""
    plain = m.pattern(1000)
    shallow_kib = None  # what the first tree took, sanitizers and all
    for depth, files in ((35, 64), (3000, 2)):
        d = m.fresh_dir(work, "deep")
        made = []
        fd = os.open(d, os.O_RDONLY)
        for level in range(depth):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
            if level + 1 in (depth // 2, depth):
                for i in range(files if level + 1 == depth else 1):
                    with open(os.open(f"f{i}.bin", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "wb") as f:
                        f.write(plain)
                    made.append((level + 1, f"f{i}.bin"))
        os.close(fd)
        # A sanitizer keeps freed memory aside: here it would count as in use.
        env = dict(os.environ, ASAN_OPTIONS="quarantine_size_mb=0")
        p = subprocess.run(["prlimit", "--nofile=1024:1024", "/usr/bin/time", "-f", "%M", tavo,
                            "d", "en", "1", "7", "-r"], cwd=d, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=120, env=env)
        kib = int(p.stderr.split()[-1])
        summary = m.body(p.stdout).split(b"\r\n")[-2]
        problems = [f"exit {p.returncode}, {summary!r}"] * (summary != b"tavo en: %d ok, 0 skipped, "
                                                              b"0 failed" % len(made))
        # Paths kept whole at every level took 65 MB here at 3,000 levels.
        if shallow_kib is not None and kib > shallow_kib + 16 * 1024:
            problems.append(f"{kib} KiB at most, {shallow_kib} KiB for the tree 35 deep")
        shallow_kib = shallow_kib or kib
        for level, name in made[-1:]:
            path = "/".join(["d"] * level + [name])
            if m.encrypted(plain, path, 1, 7) != read_deep(d, path):
                problems.append(f"{name} {level} folders down not encrypted")
        tally.check(f"{len(made)} files in a tree {depth} folders deep, 1,024 open files "
                    f"({kib} KiB)", problems)


def read_deep(root, path):
    fd = os.open(root, os.O_RDONLY)
    for part in path.split("/")[:-1]:
        inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = inner
    with open(os.open(path.split("/")[-1], os.O_RDONLY, dir_fd=fd), "rb") as f:
        os.close(fd)
        return f.read()


def run(args, tally):
    os.chmod(args.work, 0o755)
    for group in (not_a_file, unwritable, short_files, damaged_records, argument_vectors,
                  odd_paths, deep_trees):
        group(args.tavo, args.work, tally)


if __name__ == "__main__":
    sys.exit(m.main(run, "bad-input"))
