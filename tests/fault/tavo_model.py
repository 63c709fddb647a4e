"""What tavo's files and lines should look like, worked out independently of
the program: the byte transforms, the 512-byte record and the exact lines.
Shared by the fault loop, the fault table and the bad-input cases."""

import os
import random
import subprocess

RECORD_SIZE = 512
CHUNK = 65534
NAME_OFFSET, NAME_SIZE = 4, 255
WAY_OFFSET, FACTOR_OFFSET = 259, 260


def pattern(size, seed=12345):
    """Bytes from a fixed seed, so a failing case can be replayed."""
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def forward(data, way, factor):
    f = factor & 0xFF
    if way == 1:
        return bytes((b + f) & 0xFF for b in data)
    if way == 2:
        return bytes((b - f) & 0xFF for b in data)
    if way == 3:
        return bytes(b ^ f for b in data)
    if way == 4:
        return bytes(b ^ 0xFF for b in data)
    raise ValueError(way)


def reverse(data, way, factor):
    if way == 1:
        return forward(data, 2, factor)
    if way == 2:
        return forward(data, 1, factor)
    return forward(data, way, factor)


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
