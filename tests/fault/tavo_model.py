"""What tavo's files and lines should look like, worked out independently of
the program: the byte transforms, the 512-byte record and the exact lines.
Shared by the fault loop, the fault table and the bad-input cases."""

import os
import random
import subprocess
import zlib

RECORD_SIZE = 512
CHUNK = 65534
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


def windows_record_name(path, code_page):
    """The name the Windows build stores for `path` (a str) when the ANSI code
    page is `code_page` (a Python codec such as "cp1252"): the part after the
    last backslash or slash, with one '?' for each character the code page
    cannot write. `record` takes the result as its path."""
    base = path[max(path.rfind("\\"), path.rfind("/")) + 1:]
    return base.encode(code_page, errors="replace")


def has_valid_record(data):
    if len(data) < RECORD_SIZE:
        return False
    rec = data[-RECORD_SIZE:]
    if rec[2:4] != b"ta" or rec[261:263] != b"vo":
        return False
    return checksum(rec) == (rec[0] | (rec[1] << 8))


def encrypted(data, path, way, factor):
    return forward(data, way, factor) + record(path, way, factor)


BANNER = b"vornic encryption and decryption\r\n"


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
    lines = output.split(b"\r\n")
    if len(lines) < 3 or lines[0] + b"\r\n" != BANNER:
        return None
    return b"\r\n".join(lines[3:])


def without_timing(text):
    """Drops the trailing timing line, whose value depends on the clock."""
    if text is None:
        return None
    marker = text.rfind(b"use time: < ")
    if marker >= 0 and text.endswith(b"s\r\n"):
        return text[:marker]
    return text


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
