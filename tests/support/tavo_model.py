"""What tavo's files and lines should look like, worked out independently of
the program: the byte transforms, the 512-byte record, the journal's layout
and the exact lines; and the frame the test programs share. The one model
of every Python test and the benchmark, which find it with

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
"""

import argparse
import collections
import os
import random
import re
import subprocess
import zlib

RECORD_SIZE = 512
CHUNK = 65534
SECTOR = 512
ZONE = 2048 * CHUNK  # the console tool's zone
PIECE_HASH_SIZE, SLOT_SIZE, HASH_AREAS = 8, 512, 3
SKIP = 77  # the exit code CTest counts as skipped
NAME_OFFSET, NAME_SIZE = 4, 255
WAY_OFFSET, FACTOR_OFFSET = 259, 260


def pattern(size, seed=12345):
    """Bytes from a fixed seed, so a failing case can be replayed."""
    return random.Random(seed).randbytes(size)


def table(way, factor):
    """The forward transform as a 256-entry table for bytes.translate, which
    keeps files of hundreds of MiB cheap to model."""
    f = factor & 0xFF
    if way == 1:
        return bytes((b + f) & 0xFF for b in range(256))
    if way == 2:
        return bytes((b - f) & 0xFF for b in range(256))
    if way == 3:
        return bytes(b ^ f for b in range(256))
    if way == 4:
        return bytes(b ^ 0xFF for b in range(256))
    raise ValueError(way)


def forward(data, way, factor):
    return bytes(data).translate(table(way, factor))


# The way whose forward transform undoes each way's.
INVERSE_WAY = {1: 2, 2: 1, 3: 3, 4: 4}


def reverse(data, way, factor):
    return forward(data, INVERSE_WAY[way], factor)


def scramble_byte(c):
    # add 1, xor 1, subtract 1, invert, all modulo 256
    c = (c + 1) & 0xFF
    c ^= 1
    c = (c - 1) & 0xFF
    return c ^ 0xFF


def checksum(rec):
    total = sum(rec[i] | (rec[i + 1] << 8) for i in range(2, RECORD_SIZE, 2))
    total = (total & 0xFFFF) + (total >> 16)
    total += total >> 16
    return ~total & 0xFFFF


def record(path, way, factor):
    """The record "en" appends for `path` (a str or bytes), way and factor."""
    raw = path.encode() if isinstance(path, str) else path
    base = raw[raw.rfind(b"\\") + 1:]
    rec = bytearray(RECORD_SIZE)
    rec[2:4] = b"ta"
    rec[261:263] = b"vo"
    rec[WAY_OFFSET] = way & 0xFF
    rec[FACTOR_OFFSET] = factor & 0xFF
    name = (base + b"\0")[:NAME_SIZE]
    rec[NAME_OFFSET:NAME_OFFSET + len(name)] = name
    for i in range(NAME_OFFSET, NAME_OFFSET + NAME_SIZE):
        rec[i] = scramble_byte(rec[i])
    c = checksum(rec)
    rec[0], rec[1] = c & 0xFF, c >> 8
    return bytes(rec)


def peek_line(path, way, factor):
    """The peek's line for the record of `path` (as for `record`): its
    checksum, the name it holds (unscrambled: scrambling undoes itself) with
    control bytes shown as '?', way and factor."""
    rec = record(path, way, factor)
    name = bytes(scramble_byte(b) for b in rec[NAME_OFFSET:NAME_OFFSET + NAME_SIZE])
    name = bytes(ord("?") if c < 0x20 or c == 0x7F else c for c in name.split(b"\0")[0])
    return b"tavo: %X t a %s %d %x v o\r\n" % (rec[0] | rec[1] << 8, name, way, factor)


def windows_record_name(path, code_page):
    """The name the Windows build stores for `path` (a str) when the ANSI code
    page is `code_page` (a Python codec such as "cp1252"): the part after the
    last backslash or slash, with one '?' for each character the code page
    cannot write. `record` takes the result as its path."""
    base = path[max(path.rfind("\\"), path.rfind("/")) + 1:]
    return base.encode(code_page, errors="replace")


def encrypted(data, path, way, factor):
    return forward(data, way, factor) + record(path, way, factor)


def align_up(value, unit):
    return -(-value // unit) * unit


Journal = collections.namedtuple("Journal", "areas area_size slots size")


def journal(data_length, keyword, zone_size=ZONE):
    """Where a run of `keyword` over data of `data_length` bytes keeps its
    journal. It starts at the first sector bound after the data, and after
    the record's room for "en" and "de": three hash areas, each with room
    for the 8-byte hash of every piece of a zone (a zone of z bytes has at
    most z/512 + z/chunk + 2 pieces) rounded up to a sector, then slot 0 and
    slot 1. While the run lasts the file ends where slot 1 does."""
    start = align_up(data_length + (RECORD_SIZE if keyword in ("en", "de") else 0), SECTOR)
    zone = min(data_length, zone_size)
    area = align_up((zone // SECTOR + zone // CHUNK + 2) * PIECE_HASH_SIZE, SECTOR)
    slots = [start + HASH_AREAS * area + SLOT_SIZE * s for s in (0, 1)]
    return Journal([start + i * area for i in range(HASH_AREAS)], area, slots,
                   slots[1] + SLOT_SIZE)


def pieces(length):
    """How many pieces the bytes [0, length) are cut into: at every multiple
    of 512 and of the chunk size."""
    bounds = {*range(SECTOR, length, SECTOR), *range(CHUNK, length, CHUNK)}
    return len(bounds) + 1 if length else 0


BANNER = (b"vornic encryption and decryption\r\n"
          b"tavo 0.5beta version http://www.example.com/tavo\r\n")
UNKNOWN_KEYWORD = b"unknown encryption or decryption way?\r\n"


def usage(program=b"tavo"):
    """The usage lines for a program named `program` (after its last backslash)."""
    return (b"usage: %s filename [en|de|rxen|rxde|] x p\r\n" % program
            + b"x=(4,3,2,1)\r\n" b"p=(1-255)\r\n"
            b"[en|de]encryption or decryption add header or remove header\r\n"
            b"[rxen|rxde]encryption or decryption rude and not add or remove header or flag\r\n")


def op_line(keyword, path, what):
    raw = path.encode() if isinstance(path, str) else path
    return b"tavo " + keyword.encode() + b" file(" + raw + b") " + what + b"\r\n"


def io_error(keyword, path):
    return op_line(keyword, path, b"io error")


def ok_line(keyword, path):
    return op_line(keyword, path, b"ok.")


def cancelled(keyword, path):
    return op_line(keyword, path, b"cancelled")


def in_use(keyword, path):
    """The start of the line of a run refused because another run holds the
    file; the rest of the line is free wording."""
    return op_line(keyword, path, b"in use")[:-2]


def interrupted(path):
    """The start of the one line printed for a file that holds an interrupted
    run, by any command other than the two that finish or undo it."""
    raw = path.encode() if isinstance(path, str) else path
    return b"tavo file(" + raw + b") holds an interrupted run"


# The command that undoes each one, with the same way and factor.
INVERSE = {"en": "de", "de": "en", "rxen": "rxde", "rxde": "rxen"}


def body(output):
    """The output after the two banner lines and the echo line."""
    if not output.startswith(BANNER) or output.count(b"\r\n") < 3:
        return None
    return output.split(b"\r\n", 3)[3]


# The timing line, whose value depends on the clock.
TIMING = re.compile(rb"use time: < [0-9]+s\r\n")


def split_timing(text):
    """(text, True) with the timing line cut off when it ends `text`;
    otherwise (text, False)."""
    if text is not None:
        start = text.rfind(b"use time: < ")
        if start >= 0 and TIMING.fullmatch(text, start):
            return text[:start], True
    return text, False


def without_timing(text):
    return split_timing(text)[0]


def run(argv, cwd, prefix=(), timeout=60, env=None):
    """Runs tavo (with an optional prefix such as strace). Returns
    (exit status, stdout); a status below zero is the signal that ended it."""
    if prefix and env is None:
        # LeakSanitizer cannot run under ptrace; a sanitizer build would exit 1.
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    proc = subprocess.run(list(prefix) + list(argv), cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=timeout, env=env)
    return proc.returncode, proc.stdout


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def fresh_dir(root, name):
    d = os.path.join(root, name)
    subprocess.run(["rm", "-rf", d], check=True)
    os.makedirs(d)
    return d


class Digest:
    """A fingerprint of bytes too large to keep: the CRC-32 of each MiB and
    the length. Any change within a MiB changes that MiB's CRC but for a
    chance of 2^-32, which is all a test comparing a file with the one it
    should be needs; SHA-256 in Python is ten times slower."""

    PIECE = 1 << 20

    def __init__(self):
        self.crcs, self.length, self.pending = [], 0, bytearray()

    def update(self, data):
        self.length += len(data)
        view = memoryview(data)
        if self.pending:
            take = min(self.PIECE - len(self.pending), len(view))
            self.pending += view[:take]
            view = view[take:]
            if len(self.pending) == self.PIECE:
                self.crcs.append(zlib.crc32(self.pending))
                self.pending = bytearray()
        while len(view) >= self.PIECE:
            self.crcs.append(zlib.crc32(view[:self.PIECE]))
            view = view[self.PIECE:]
        self.pending += view

    def hexdigest(self):
        crcs = self.crcs + ([zlib.crc32(self.pending)] if self.pending else [])
        return "%d:" % self.length + "".join("%08x" % c for c in crcs)


def file_digest(path):
    digest = Digest()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(Digest.PIECE), b""):
            digest.update(piece)
    return digest.hexdigest()


def holds(path, want):
    """True when the file holds `want`: bytes, or the Digest of bytes too
    large to keep in memory."""
    if isinstance(want, str):
        return file_digest(path) == want
    return read(path) == want


class Tally:
    """What a test program saw: how many cases ended in each outcome, what it
    skipped and what failed."""

    def __init__(self):
        self.counts, self.skipped, self.failed = {}, [], []

    def add(self, *outcome):
        """Counts a case that held, under the words of its outcome."""
        key = ": ".join(outcome)
        self.counts[key] = self.counts.get(key, 0) + 1

    def check(self, case, problems):
        """One case, which held when `problems` is empty."""
        print(f"{'FAIL' if problems else 'ok  '} {case}")
        if problems:
            self.failed.append(f"{case}: {'; '.join(problems)}")
        else:
            self.add("held")

    def report(self, what):
        """Prints the tally; returns the exit code: 1 on a failure or when
        nothing ran, SKIP when everything was skipped."""
        for outcome, n in sorted(self.counts.items()):
            print(f"  {outcome:86s} {n:5d}")
        for s in self.skipped:
            print(f"SKIPPED: {s}")
        for f in self.failed:
            print(f"FAILED: {f}")
        run = sum(self.counts.values()) + len(self.failed)
        print(f"{what} cases run: {run}, skipped: {len(self.skipped)}, failed: {len(self.failed)}")
        if not run and self.skipped:
            return SKIP
        return 1 if self.failed or not run else 0


def main(body, what, add_arguments=None):
    """The main of a test program over the real tool: --tavo and --work
    (absolute, the work folder made) and what `add_arguments` adds to the
    parser; body(args, tally) runs the cases. Returns the exit code."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavo", required=True, help="the tavo executable")
    parser.add_argument("--work", required=True, help="a folder for the test's files")
    if add_arguments:
        add_arguments(parser)
    args = parser.parse_args()
    args.tavo, args.work = os.path.abspath(args.tavo), os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    tally = Tally()
    body(args, tally)
    return tally.report(what)
