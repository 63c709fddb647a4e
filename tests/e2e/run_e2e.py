#!/usr/bin/env python3
"""End-to-end cases for the console tool, run through the real process.

Each case gets a fresh scratch folder with its input files, runs one or more
commands there and compares the exact output bytes, the exit code and the
files afterwards. Expected bytes come from the shared model of the format
(tests/support/tavo_model.py), never from the tool itself.

The Windows build also runs a table of file names in three locales, whose
ANSI code pages Wine takes from LC_ALL, and a few of them on a terminal,
where the program writes to a console.

    run_e2e.py --tavo build/native/console/tavo
    run_e2e.py --tavo build/mingw-i686/console/tavo.exe --prefix cmake/wine-run.sh
"""
import argparse
import os
import random
import re
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import tavo_model as m  # noqa: E402

TIMED = object()  # stands for the timing line in an expected list


def reason(path, text=None, code_page="latin-1"):
    """The standard-error line of a failure; without a text, any reason (the
    system's own words differ between Linux and Windows)."""
    shown = path.encode(code_page, "replace")
    if text is None:
        return re.compile(rb"tavo: %s: [^\r\n]+\r\n" % re.escape(shown))
    return b"tavo: %s: %s\r\n" % (shown, text)


def ok(keyword, path, code_page="latin-1"):
    """The success line, with `path` as a pipe shows it in `code_page`."""
    return m.ok_line(keyword, path.encode(code_page, "replace"))


class Step:
    def __init__(self, args, lines, code, after=None, usage=False, size_limit=None, errors=b"",
                 locked=None, shows=None, stdin=None):
        self.args = args          # command line after the program name
        self.stdin = stdin        # bytes on standard input
        self.errors = errors      # expected standard error: bytes, or a pattern from reason()
        self.locked = locked      # a file that another run holds meanwhile
        self.size_limit = size_limit  # RLIMIT_FSIZE in bytes for this run
        self.lines = lines        # expected lines after the echo line
        self.code = code          # expected exit code
        self.after = after        # {name: expected bytes or None (unchanged)}
        self.usage = usage        # the usage lines follow `lines`
        self.shows = shows        # run on a terminal, which must show this text


class Case:
    def __init__(self, name, files, steps, native_only=False, windows_only=False, locale=None):
        self.name, self.files, self.steps = name, files, steps
        self.native_only, self.windows_only = native_only, windows_only
        self.locale = locale      # LC_ALL for the run; None keeps the caller's


def build_cases(sep="/"):
    """`sep` is the separator the tool puts between a folder and its files."""
    cases = []
    data = m.pattern(200000, 1)
    cases.append(Case("no arguments: usage", {}, [Step([], [], 0, usage=True)]))
    cases.append(Case("path without keyword: timing only, file untouched", {"d.bin": data},
                      [Step(["d.bin"], [TIMED], 0, {"d.bin": None},
                            errors=reason("d.bin", b"no keyword given"))]))
    cases.append(Case("unknown keyword EN", {"d.bin": data},
                      [Step(["d.bin", "EN", "1", "1"],
                            [m.UNKNOWN_KEYWORD], 0, {"d.bin": None},
                            usage=True)]))
    cases.append(Case("rxen way 3 factor 7, an element more is refused", {"data.bin": data},
                      [Step(["data.bin", "rxen", "3", "7", "extra"], [], 0, {"data.bin": None},
                            errors=re.compile(rb"tavo: extra: more than a file, [^\r\n]+\r\n"))]))
    for size in (0, 65533, 65534, 65535, 200000):
        for way in (1, 2, 3, 4):
            body = m.pattern(size, size + way)
            enc = m.encrypted(body, "f.bin", way, 200)
            cases.append(Case("en/peek/de %d bytes way %d" % (size, way), {"f.bin": body}, [
                Step(["f.bin", "en", str(way), "200"], [ok("en", "f.bin"), TIMED], 1, {"f.bin": enc}),
                Step(["f.bin", "x=xxx"], [m.peek_line("f.bin", way, 200)], 1, {"f.bin": enc}),
                Step(["f.bin", "de", str(way), "200"], [ok("de", "f.bin"), TIMED], 1, {"f.bin": body}),
            ]))
            cases.append(Case("rxen/rxde %d bytes way %d" % (size, way), {"f.bin": body}, [
                Step(["f.bin", "rxen", str(way), "57"], [ok("rxen", "f.bin"), TIMED], 1,
                     {"f.bin": m.forward(body, way, 57)}),
                Step(["f.bin", "rxde", str(way), "57"], [ok("rxde", "f.bin"), TIMED], 1,
                     {"f.bin": body}),
            ]))
    # A file that an earlier build (commit 1231776) left holding an interrupted
    # run: its third flush of "tavo i.bin rxen 2 7" on sample(1000, 1000) failed,
    # injected with strace. Every later build finishes and undoes it; never
    # made again, whatever the journal's layout becomes.
    with open(os.path.join(HERE, "..", "fixtures", "interrupted-v1-rxen.bin"), "rb") as f:
        interrupted = f.read()
    old_sample = random.Random(1000)
    plain = bytes(old_sample.getrandbits(8) for _ in range(1000))
    for keyword, after in (("rxen", m.forward(plain, 2, 7)), ("rxde", plain)):
        cases.append(Case("interrupted file from an earlier build: %s" % keyword,
                          {"i.bin": interrupted},
                          [Step(["i.bin", keyword, "2", "7"], [ok(keyword, "i.bin"), TIMED], 1,
                                {"i.bin": after})]))
    small = m.pattern(1000, 9)
    enc = m.encrypted(small, "s.bin", 3, 9)

    unknown_way = b"unknown way %d (ways are 1 to 4)"
    refusals = [
        (["s.bin", "rxen", "5", "1"], b"tavo en file(s.bin) unknown way\r\n", small, unknown_way % 5),
        (["s.bin", "rxen", "256", "1"], b"tavo en file(s.bin) unknown way\r\n", small,
         unknown_way % 256),
        (["s.bin", "rxde", "257", "1"], b"tavo rxde file(s.bin) unknown way\r\n", small,
         unknown_way % 257),
        (["s.bin", "en", "5", "1"], b"tavo en file(s.bin) unknown way\r\n", small, unknown_way % 5),
        (["s.bin", "de", "1", "1"], b"unknown tavo?file(s.bin)\r\n", small,
         b"no valid record at its end"),
        (["s.bin", "de", "2", "9"], b"tavo de file(s.bin) x!=x\r\n", enc,
         b"the way differs from the one in its record"),
        (["s.bin", "de", "3", "8"], b"tavo de file(s.bin) p!=p\r\n", enc,
         b"the factor differs from the one in its record (it holds 9, which the peek shows in "
         b"hexadecimal: 9)"),
        (["s.bin", "de", "1", "1"], b"tavo de file(s.bin) x!=x\r\n", enc,
         b"the way differs from the one in its record"),
    ]
    for args, line, content, why in refusals:
        cases.append(Case("refused: %s" % " ".join(args[1:]), {"s.bin": content},
                          [Step(args, [line, TIMED], 0, {"s.bin": None},
                                errors=reason("s.bin", why))]))
    # Failures that print no line of their own, or a terse one, give their
    # reason on standard error; standard output stays as it always was.
    cases.append(Case("peek without record", {"s.bin": small},
                      [Step(["s.bin", "x=xxx"], [b"unknown tavo?file?\r\n"], 0, {"s.bin": None},
                            errors=reason("s.bin", b"no valid record at its end"))]))
    short = reason("s.bin", b"too short to hold a record")
    cases.append(Case("de and peek on 511 bytes", {"s.bin": small[:511]}, [
        Step(["s.bin", "de", "1", "1"], [TIMED], 0, {"s.bin": None}, errors=short),
        Step(["s.bin", "x=xxx"], [b"unknown tavo?file?\r\n"], 0, {"s.bin": None}, errors=short)]))
    cases.append(Case("missing file", {}, [
        Step(["absent.bin", "en", "1", "1"], [TIMED], 0, errors=reason("absent.bin")),
        Step(["absent.bin", "x=xxx"], [], 0, errors=reason("absent.bin"))]))
    cases.append(Case("directory", {"dir/": b""}, [
        Step(["dir", "rxen", "1", "1"], [TIMED], 0, errors=reason("dir")),
        Step(["dir", "x=xxx"], [], 0, errors=reason("dir"))]))
    cases.append(Case("no permission to write", {"ro.bin!": small}, [
        Step(["ro.bin", "rxen", "1", "1"], [TIMED], 0, {"ro.bin": None}, errors=reason("ro.bin")),
        Step(["ro.bin", "x=xxx"], [b"unknown tavo?file?\r\n"], 0, {"ro.bin": None},
             errors=reason("ro.bin", b"no valid record at its end"))]))
    cases.append(Case("file held by another run", {"h.bin": small}, [
        Step(["h.bin", "rxen", "1", "1"], [b"tavo rxen file(h.bin) in use by another run\r\n", TIMED],
             0, {"h.bin": None}, errors=reason("h.bin", b"held by another run"), locked="h.bin"),
        Step(["h.bin", "x=xxx"], [b"tavo x=xxx file(h.bin) in use by another run\r\n"], 0,
             {"h.bin": None}, errors=reason("h.bin", b"held by another run"), locked="h.bin")],
        native_only=True))
    cases.append(Case("way text 2abc and factor text -5 give way 2 and factor 1", {"w.bin": small},
                      [Step(["w.bin", "en", "2abc", "-5"], [ok("en", "w.bin"), TIMED], 1,
                            {"w.bin": m.encrypted(small, "w.bin", 2, 1)},
                            errors=b"tavo: factor -5 is outside 1 to 255: 1 is used and recorded\r\n")]))
    cases.append(Case("huge numbers saturate", {"w.bin": small},
                      [Step(["w.bin", "en", "99999999999999", "-99999999999999"],
                            [b"tavo en file(w.bin) unknown way\r\n", TIMED], 0, {"w.bin": None},
                            errors=b"tavo: factor -99999999999999 is outside 1 to 255: 1 is used and "
                            b"recorded\r\n" + reason("w.bin", unknown_way % 2147483647))]))
    # Linux-only: devices and a file-size limit.
    not_file = b"not a regular file"
    cases.append(Case("devices and FIFOs are not files", {"fifo|": b""}, [
        Step(["/dev/zero", "rxen", "1", "1"], [TIMED], 0, errors=reason("/dev/zero", not_file)),
        Step(["/dev/null", "en", "1", "1"], [TIMED], 0, errors=reason("/dev/null", not_file)),
        Step(["fifo", "rxde", "1", "1"], [TIMED], 0, errors=reason("fifo", not_file))],
        native_only=True))
    # Windows device names open like files but are not files.
    cases.append(Case("NUL, CON and COM1 are devices, not files", {}, [
        Step(["NUL", "rxen", "1", "1"], [TIMED], 0, errors=reason("NUL")),
        Step(["NUL", "de", "1", "1"], [TIMED], 0, errors=reason("NUL")),
        Step(["nul", "x=xxx"], [], 0, errors=reason("nul")),
        Step(["CON", "en", "3", "7"], [TIMED], 0, errors=reason("CON")),
        Step(["C:\\dir\\NUL", "rxde", "1", "1"], [TIMED], 0, errors=reason("C:\\dir\\NUL")),
        Step(["COM1", "rxen", "1", "1"], [TIMED], 0, errors=reason("COM1"))], windows_only=True))
    body = m.pattern(200000, 5)
    # A run needs room at the end of the file for its journal meanwhile.
    for limit in (200000, 200100, 200511, 200512):
        cases.append(Case("en under a file-size limit of %d bytes" % limit, {"f.bin": body}, [
            Step(["f.bin", "en", "1", "1"], [b"tavo en file(f.bin) io error\r\n", TIMED], 0,
                 {"f.bin": None}, size_limit=limit, errors=reason("f.bin"))], native_only=True))
    cases.append(Case("en at a file-size limit that leaves room for the run", {"f.bin": body}, [
        Step(["f.bin", "en", "1", "1"], [ok("en", "f.bin"), TIMED], 1,
             {"f.bin": m.encrypted(body, "f.bin", 1, 1)}, size_limit=1 << 20)],
        native_only=True))
    return cases + batch_cases(sep) + windows_name_cases()


def batch_cases(sep):
    """Runs over many files: the lines of each file's single run, then a
    summary; any option switches to the usual exit codes (0 all done)."""
    cases = []
    a, b, z = m.pattern(3000, 21), m.pattern(70000, 22), m.pattern(10, 23)
    names = {"d/a.bin": a, "d/sub/b.bin": b, "d/z.bin": z}
    shown = {n: n.replace("/", sep) for n in names}
    # The Windows build records the name after the last slash, Linux the whole path.
    stored = {n: shown[n].rsplit("\\", 1)[-1] for n in names}
    enc = {n: m.encrypted(c, stored[n], 3, 42) for n, c in names.items()}
    order = ["d/a.bin", "d/sub/b.bin", "d/z.bin"]

    def each(line, timed=True):
        return [x for n in order for x in ([line(n), TIMED] if timed else [line(n)])]

    skip_why = b"".join(b"tavo: %s: skipped: its record already holds way 3 and factor 42 "
                        b"(--again adds another layer)\r\n" % shown[n].encode() for n in order)
    cases.append(Case("many files: a folder with -r, again, peek, dry run, de", dict(names), [
        Step(["d", "en", "3", "42", "-r"], each(lambda n: ok("en", shown[n])) +
             [b"tavo en: 3 ok, 0 skipped, 0 failed\r\n"], 0, enc),
        Step(["d", "en", "3", "42", "--recursive"],
             each(lambda n: b"tavo en file(%s) skipped\r\n" % shown[n].encode(), False) +
             [b"tavo en: 0 ok, 3 skipped, 0 failed\r\n"], 0, enc, errors=skip_why),
        Step(["d", "x=xxx", "-r"], each(lambda n: b"file(%s) " % shown[n].encode() +
                                        m.peek_line(stored[n], 3, 42), False) +
             [b"tavo x=xxx: 3 with a record, 0 without, 0 failed\r\n"], 0, enc),
        Step(["d", "de", "3", "42", "-r", "--dry-run"],
             each(lambda n: b"tavo de file(%s) would be decrypted with way 3 and factor 42\r\n"
                  % shown[n].encode(), False) +
             [b"tavo de (dry run): 3 ok, 0 skipped, 0 failed\r\n"], 0, enc),
        Step(["d", "de", "3", "42", "-r"], each(lambda n: ok("de", shown[n])) +
             [b"tavo de: 3 ok, 0 skipped, 0 failed\r\n"], 0, names)]))
    # A run stopped after its first file: the second run skips it and does the rest.
    cases.append(Case("many files: run again after a stop, and a folder without -r",
                      {"d/a.bin": enc["d/a.bin"], "d/sub/b.bin": b, "d/z.bin": z}, [
        Step(["d", "en", "3", "42"], [TIMED], 0, errors=reason(
            "d", b"a folder: --recursive (-r) after the factor runs on every file in it")),
        Step(["d", "en", "3", "42", "-r"], [b"tavo en file(%s) skipped\r\n" % shown[order[0]].encode()]
             + [x for n in order[1:] for x in (ok("en", shown[n]), TIMED)] +
             [b"tavo en: 2 ok, 1 skipped, 0 failed\r\n"], 0, enc, errors=skip_why.split(b"\n")[0] + b"\n")]))
    listed = {"list.txt": b"\xef\xbb\xbfa.bin\r\nd/b.bin\n\n", "a.bin": a, "d/b.bin": b}
    listed["zero.txt"] = b"a.bin\0d/b.bin\0"  # NUL.TXT is a device on Windows
    both = [ok("de", "a.bin"), TIMED, ok("de", "d/b.bin"), TIMED]
    cases.append(Case("many files: @LIST, one path a line, or NUL-ended, and @- from a pipe",
                      listed, [
        Step(["@list.txt", "en", "1", "7"], [ok("en", "a.bin"), TIMED, ok("en", "d/b.bin"), TIMED,
                                             b"tavo en: 2 ok, 0 skipped, 0 failed\r\n"], 1,
             {"a.bin": m.encrypted(a, "a.bin", 1, 7),
              "d/b.bin": m.encrypted(b, stored_name("d/b.bin", sep), 1, 7)}),
        Step(["@-", "de", "1", "7", "--null"], both + [b"tavo de: 2 ok, 0 skipped, 0 failed\r\n"],
             0, {"a.bin": a, "d/b.bin": b}, stdin=listed["zero.txt"]),
        Step(["@zero.txt", "en", "1", "7", "-q"], [b"tavo en: 2 ok, 0 skipped, 0 failed\r\n"], 0,
             {"a.bin": m.encrypted(a, "a.bin", 1, 7)})]))
    cases.append(Case("many files: the names a shell expanded", {"a.bin": a, "entry.bin": b}, [
        Step(["a.bin", "entry.bin", "en", "3", "42"], [ok("en", "a.bin"), TIMED, ok("en", "entry.bin"),
             TIMED, b"tavo en: 2 ok, 0 skipped, 0 failed\r\n"], 1,
             {"a.bin": m.encrypted(a, "a.bin", 3, 42), "entry.bin": m.encrypted(b, "entry.bin", 3, 42)}),
        Step(["a.bin", "entry.bin", "rxde", "3", "42"], [], 0, {"a.bin": None, "entry.bin": None},
             errors=re.compile(rb"tavo: rxde runs on one file at a time: [^\r\n]+\r\n"))],
        native_only=True))
    # One file, one run: a name given twice and a hard link run once, also
    # with --again, and the dry run counts as the run does.
    names = ["a.bin", "a.bin", "link.bin", "entry.bin"]
    same = b"".join(b"tavo: %s: skipped: the same file as a.bin\r\n" % n for n in (b"a.bin", b"link.bin"))
    skips = [b"tavo en file(a.bin) skipped\r\n", b"tavo en file(link.bin) skipped\r\n"]
    once = m.encrypted(a, "a.bin", 3, 42)
    cases.append(Case("many files: a name given twice and a hard link run once",
                      {"a.bin": a, "link.bin=": b"a.bin", "entry.bin": b}, [
        Step(names + ["en", "3", "42", "--dry-run"],
             [b"tavo en file(a.bin) would be encrypted with way 3 and factor 42\r\n"] + skips +
             [b"tavo en file(entry.bin) would be encrypted with way 3 and factor 42\r\n",
              b"tavo en (dry run): 2 ok, 2 skipped, 0 failed\r\n"], 0, {"a.bin": a}, errors=same),
        Step(names + ["en", "3", "42", "--again"], [ok("en", "a.bin"), TIMED] + skips +
             [ok("en", "entry.bin"), TIMED, b"tavo en: 2 ok, 2 skipped, 0 failed\r\n"], 0,
             {"a.bin": once, "link.bin": once, "entry.bin": m.encrypted(b, "entry.bin", 3, 42)},
             errors=same)]))
    # Names someone else chose cannot drive the terminal or forge a line.
    red, split = "d/\x1b[31mred.bin", "d/new\nline.bin"
    cases.append(Case("many files: control bytes in names print escaped", {red: a, split: z}, [
        Step(["d", "en", "3", "42", "-r"], [ok("en", "d/\\x1B[31mred.bin"), TIMED,
                                            ok("en", "d/new\\x0Aline.bin"), TIMED,
                                            b"tavo en: 2 ok, 0 skipped, 0 failed\r\n"], 0,
             {red: m.encrypted(a, red, 3, 42), split: m.encrypted(z, split, 3, 42)})],
        native_only=True))
    # Wine shows a Unix link to a file as the file: the open inside the folder catches it.
    cases.append(Case("many files: links out of the folder are not followed",
                      {"d/a.bin": a, "out/s.bin": z, "d/link>": b"../out", "d/sl>": b"../out/s.bin"}, [
        Step(["d", "en", "3", "42", "-r"], [ok("en", "d/a.bin".replace("/", sep)), TIMED] +
             [b"tavo en file(%s) skipped\r\n" % n.replace("/", sep).encode()
              for n in ("d/link", "d/sl")] + [b"tavo en: 1 ok, 2 skipped, 0 failed\r\n"], 0,
             {"d/a.bin": m.encrypted(a, stored_name("d/a.bin", sep), 3, 42), "out/s.bin": None},
             errors=re.compile(rb"(tavo: d.(link|sl): skipped: [^\r\n]+\r\n){2}"))]))
    cases.append(Case("many files: a pattern, matched as Windows matches",
                      {"a.JPG": a, "b.jpg": b, "c.txt": z}, [
        Step(["*.jpg", "en", "3", "42"], [ok("en", "a.JPG"), TIMED, ok("en", "b.jpg"), TIMED,
                                          b"tavo en: 2 ok, 0 skipped, 0 failed\r\n"], 1,
             {"a.JPG": m.encrypted(a, "a.JPG", 3, 42), "b.jpg": m.encrypted(b, "b.jpg", 3, 42),
              "c.txt": None})], windows_only=True))
    # Names in several scripts, a path past 260 characters and a file that
    # cannot be written, in a folder walked through handles under Wine.
    cp, parts = "cp1252", long_path(330)
    deep, wide = "top/" + "/".join(parts), "top/文件 отчёт.bin"
    run = [deep, "top/ro.bin", wide]  # sorted by name: "d..." < "ro" < non-ASCII
    shown = {n: n.replace("/", "\\") for n in run}
    cases.append(Case("many files: long paths, Unicode names and a read-only file under Wine",
                      {deep: a, "top/ro.bin!": z, wide: b}, [
        Step(["top", "en", "3", "42", "-r"], [ok("en", shown[deep], cp), TIMED,
             ok("en", shown[wide], cp), TIMED, b"tavo en: 2 ok, 0 skipped, 1 failed\r\n"], 1,
             {deep: m.encrypted(a, m.windows_record_name(deep, cp), 3, 42), "top/ro.bin": None,
              wide: m.encrypted(b, m.windows_record_name(wide, cp), 3, 42)},
             errors=reason(shown["top/ro.bin"])),
        Step(["top", "x=xxx", "-r"], [b"file(%s) " % shown[deep].encode(cp, "replace") +
             m.peek_line(m.windows_record_name(deep, cp), 3, 42),
             b"unknown tavo?file(top\\ro.bin)\r\n",
             b"file(%s) " % shown[wide].encode(cp, "replace") +
             m.peek_line(m.windows_record_name(wide, cp), 3, 42),
             b"tavo x=xxx: 2 with a record, 1 without, 0 failed\r\n"], 0,
             errors=reason(shown["top/ro.bin"], b"too short to hold a record"))],
        windows_only=True, locale="en_US.UTF-8"))
    return cases


def stored_name(path, sep):
    """The name "en" records for a path typed with slashes: Windows keeps the
    part after the last slash, Linux the whole path."""
    return path.rsplit("/", 1)[-1] if sep == "\\" else path


# Windows: locales and the ANSI code pages Wine gives them (Python codecs).
CODE_PAGES = {"zh_CN.UTF-8": "cp936", "en_US.UTF-8": "cp1252", "ru_RU.UTF-8": "cp1251"}
NAMES = [
    "文件.bin",                   # CJK
    "отчёт.txt",                  # Cyrillic
    "보고서.doc",                 # Korean
    "تقرير.pdf",                  # Arabic
    "café naïve Ærø.txt",         # accented Latin
    "😀.bin",                     # beyond U+FFFF
    "my  report v2 .txt",         # spaces
    "отчёт 文件 café 보고서😀.txt",  # all of them
]
# Stands for the scratch folder as a Windows path (Z:\...) in arguments and lines.
SCRATCH = "<scratch>"


def round_trip(path, file, code_page, seed):
    """All five operations, typed with `path`, on the scratch folder's `file`;
    the lines come through a pipe in `code_page`."""
    body = m.pattern(3000, seed)
    stored = m.windows_record_name(path, code_page)
    enc = m.encrypted(body, stored, 3, 42)
    return {file: body}, [
        Step([path, "en", "3", "42"], [ok("en", path, code_page), TIMED], 1, {file: enc}),
        Step([path, "x=xxx"], [m.peek_line(stored, 3, 42)], 1, {file: enc}),
        Step([path, "de", "3", "42"], [ok("de", path, code_page), TIMED], 1, {file: body}),
        Step([path, "rxen", "2", "7"], [ok("rxen", path, code_page), TIMED], 1,
             {file: m.forward(body, 2, 7)}),
        Step([path, "rxde", "2", "7"], [ok("rxde", path, code_page), TIMED], 1, {file: body}),
    ]


def long_path(length):
    """The folders and the file name of a path of about `length` characters
    (with the scratch folder in front, or "." and ".." in front), through
    folders named in several scripts."""
    parts = ["长 long.bin"]
    while sum(len(p) + 1 for p in parts) < length - 50:
        parts.insert(-1, "dir %02d 目录 папка " % len(parts) + "d" * 30)
    return parts


def windows_name_cases():
    cases = []
    for index, (locale, code_page) in enumerate(sorted(CODE_PAGES.items())):
        for number, name in enumerate(NAMES):
            files, steps = round_trip(name, name, code_page, 100 * index + number)
            cases.append(Case("name %s in %s" % (name, locale), files, steps,
                              windows_only=True, locale=locale))
    english = "cp1252"
    for length in (300, 600):
        parts = long_path(length)
        # "." and ".." as a shell user types them: resolved before the path
        # takes the \\?\ form, which would take them literally.
        typed = [".", parts[0], ".."] + parts
        for form, path in (("relative", "\\".join(typed)), ("with slashes", "/".join(typed)),
                           ("absolute", SCRATCH + "\\" + "\\".join(parts))):
            files, steps = round_trip(path, "/".join(parts), english, length)
            cases.append(Case("path of about %d characters, %s" % (length, form), files, steps,
                              windows_only=True, locale="en_US.UTF-8"))
    # Best fit would turn "ａ" into "a" and "Ł" into "L": another file.
    plain, other = m.pattern(500, 7), m.pattern(500, 8)
    cases.append(Case("look-alike names in code page 1252: only the named file changes",
                      {"a.txt": plain, "ａ.txt": other, "Lodz.txt": plain, "Łodz.txt": other}, [
        Step(["ａ.txt", "rxen", "3", "42"], [ok("rxen", "ａ.txt", english), TIMED], 1,
             {"ａ.txt": m.forward(other, 3, 42), "a.txt": None}),
        Step(["Łodz.txt", "en", "3", "42"], [ok("en", "Łodz.txt", english), TIMED], 1,
             {"Łodz.txt": m.encrypted(other, b"?odz.txt", 3, 42),
              "Lodz.txt": None}),
        Step(["Łodz.txt", "x=xxx"], [m.peek_line(b"?odz.txt", 3, 42)], 1, {"Lodz.txt": None})],
        windows_only=True, locale="en_US.UTF-8"))
    cases.append(Case("look-alike names in code page 1252: a missing name opens nothing",
                      {"a.txt": plain, "Lodz.txt": plain}, [
        Step(["ａ.txt", "rxen", "3", "42"], [TIMED], 0, {"a.txt": None},
             errors=reason("ａ.txt", code_page=english)),
        Step(["Łodz.txt", "en", "3", "42"], [TIMED], 0, {"Lodz.txt": None},
             errors=reason("Łodz.txt", code_page=english)),
        Step(["Łodz.txt", "x=xxx"], [], 0, {"Lodz.txt": None},
             errors=reason("Łodz.txt", code_page=english))],
        windows_only=True, locale="en_US.UTF-8"))
    # A console shows what its code page cannot: ANSI bytes would show in the
    # OEM code page ("отчёт" as "ю€ў╕є" in 866), or as '?'.
    for locale, name in (("ru_RU.UTF-8", "отчёт.txt"), ("en_US.UTF-8", "café.txt"),
                         ("zh_CN.UTF-8", "보고서文件.doc")):
        body = m.pattern(100, 9)
        cases.append(Case("console window in %s shows %s" % (locale, name), {name: body}, [
            Step([name, "rxen", "3", "42"], [], 1, {name: m.forward(body, 3, 42)},
                 shows="tavo rxen file(%s) ok." % name)], windows_only=True, locale=locale))
    return cases


def prepare(folder, files):
    for name, content in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, name.rstrip("/"))), exist_ok=True)
        if name.endswith("/"):
            os.mkdir(os.path.join(folder, name[:-1]))
        elif name.endswith(">"):
            os.symlink(content.decode(), os.path.join(folder, name[:-1]))
        elif name.endswith("="):  # a hard link to the file named
            os.link(os.path.join(folder, content.decode()), os.path.join(folder, name[:-1]))
        elif name.endswith("|"):
            os.mkfifo(os.path.join(folder, name[:-1]))
        elif name.endswith("!"):
            # Not writable, even for root, which ignores permission bits.
            path = os.path.join(folder, name[:-1])
            with open(path, "wb") as f:
                f.write(content)
            os.chmod(path, 0o444)
            subprocess.run(["chattr", "+i", path], stderr=subprocess.DEVNULL)
        else:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)


def run_tool(options, folder, args, size_limit=None, env=None, terminal=False, stdin=None):
    if terminal:
        return run_on_terminal(runner_command(options.prefix) + [options.tavo] + args, folder, env)
    if size_limit is not None:
        import resource

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (size_limit, size_limit))
        if options.prefix:
            return subprocess.run(runner_command(options.prefix) + [options.tavo] + args,
                                  cwd=folder, capture_output=True, timeout=300, preexec_fn=limit)
        return subprocess.run(["tavo"] + args, executable=options.tavo, cwd=folder,
                              capture_output=True, timeout=300, preexec_fn=limit)
    if options.prefix:
        command = runner_command(options.prefix) + [options.tavo] + args
        return run_through_runner(command, folder, timeout=300, env=env, stdin=stdin)
    return subprocess.run(["tavo"] + args, executable=options.tavo, cwd=folder,
                          capture_output=True, timeout=300, input=stdin)


def match_output(actual, echo, step):
    expected_head = m.BANNER + echo + b"\r\n"
    if not actual.startswith(expected_head):
        return "banner or echo differs"
    rest = actual[len(expected_head):]
    for line in step.lines:
        if line is TIMED:
            timing = m.TIMING.match(rest)
            if not timing:
                return "timing line missing at %r" % rest[:60]
            rest = rest[timing.end():]
        elif rest.startswith(line):
            rest = rest[len(line):]
        else:
            return "expected %r, got %r" % (line, rest[:len(line) + 20])
    if step.usage:
        if rest != m.usage(echo.rsplit(b"\\", 1)[-1]):
            return "usage lines differ: %r" % rest
        rest = b""
    return "unexpected trailing output %r" % rest if rest else None


def shown_on_terminal(output, text):
    """Whether the terminal output shows `text`. Wine draws a console there
    with escape sequences, and may move the cursor over a space instead of
    writing it, so both are compared without escapes and blanks."""
    plain = re.sub(rb"\x1b(\[[0-9;?]*[A-Za-z]|\][^\x07]*\x07)|\s", b"", output)
    return re.sub(r"\s", "", text).encode() in plain


def run_case(options, case, echo):
    folder = tempfile.mkdtemp(prefix="tavo-e2e-", dir=options.scratch)
    env = locale_environment(options, case.locale)
    scratch = "Z:" + os.path.abspath(folder).replace("/", "\\")
    try:
        prepare(folder, case.files)
        for step in case.steps:
            before = {n.rstrip("!="): c for n, c in case.files.items()
                      if not n.endswith(("/", "|", ">"))}
            for n in before:
                with open(os.path.join(folder, n), "rb") as f:
                    before[n] = f.read()
            args = [a.replace(SCRATCH, scratch) for a in step.args]
            held = None
            if step.locked:
                import fcntl
                held = open(os.path.join(folder, step.locked), "rb")
                fcntl.flock(held, fcntl.LOCK_EX)
            try:
                result = run_tool(options, folder, args, step.size_limit, env,
                                  step.shows is not None, step.stdin)
            finally:
                if held:
                    held.close()
            errors_ok = (step.errors.fullmatch(result.stderr) if hasattr(step.errors, "fullmatch")
                         else result.stderr == step.errors)
            if not errors_ok:
                return "%s: standard error %r" % (" ".join(step.args), result.stderr[:200])
            if step.shows is not None:
                problem = None if shown_on_terminal(result.stdout, step.shows) else (
                    "the terminal does not show %r: %r" % (step.shows, result.stdout[-400:]))
            else:
                step_lines = [line.replace(SCRATCH.encode(), scratch.encode())
                              if line is not TIMED else line for line in step.lines]
                problem = match_output(result.stdout, echo, Step(
                    args, step_lines, step.code, usage=step.usage))
            if problem:
                return "%s: %s" % (" ".join(step.args), problem)
            if result.returncode != step.code:
                return "%s: exit code %d, expected %d" % (" ".join(step.args), result.returncode,
                                                          step.code)
            for name, expected in (step.after or {}).items():
                with open(os.path.join(folder, name), "rb") as f:
                    actual = f.read()
                if actual != (before[name] if expected is None else expected):
                    return "%s: %s has the wrong bytes (%d bytes)" % (" ".join(step.args), name,
                                                                      len(actual))
        return None
    finally:
        subprocess.run(["chattr", "-R", "-i", folder], stderr=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)


def run_on_terminal(command, folder, env, timeout=120):
    """Runs the command with a pseudo-terminal as its standard handles, as a
    console window would have them. Returns what a finished run does."""
    import pty
    master, slave = pty.openpty()
    process = subprocess.Popen(command, cwd=folder, env=env, stdin=slave, stdout=slave,
                               stderr=slave)
    os.close(slave)
    output = b""
    deadline = time.monotonic() + timeout
    # Wine's helper processes may keep the terminal open after the program has
    # ended, so reading stops once the program has ended and the terminal is quiet.
    while time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            try:
                output += os.read(master, 65536)
                continue
            except OSError:  # the terminal has closed
                break
        if process.poll() is not None:
            break
    os.close(master)
    code = process.wait(timeout=max(1, deadline - time.monotonic()))
    return subprocess.CompletedProcess(command, code, output, b"")


def locale_environment(options, locale):
    """The environment for a run in `locale`: LC_ALL, and LOCPATH where the
    locale had to be compiled into the build tree."""
    if locale is None:
        return None
    if locale not in options.locpaths:
        options.locpaths[locale] = subprocess.run(
            ["sh", os.path.join(HERE, "..", "..", "cmake", "ensure-locale.sh"), locale,
             options.locales], check=True, capture_output=True, text=True).stdout.strip()
    env = dict(os.environ, LC_ALL=locale, LANG=locale)
    if options.locpaths[locale]:
        env["LOCPATH"] = options.locpaths[locale]
    return env


def run_through_runner(command, folder, timeout, env=None, stdin=None):
    """Runs the tool through its runner (Wine). The tool writes its banner
    before it touches any file, so a run without a byte of output is one the
    runner never started: Wine has been seen, once in several hundred runs
    with other tests running beside it, to return 1 with no output at all.
    Such a run is tried again, twice at most; a tool that really prints
    nothing still fails."""
    for attempt in range(3):
        done = subprocess.run(command, cwd=folder, capture_output=True, timeout=timeout, env=env,
                              input=stdin)
        if done.stdout:
            break
        print("note: no output from %s (exit code %d); running it again"
              % (" ".join(command), done.returncode), file=sys.stderr)
    return done


def runner_command(prefix):
    """The runner's words; a runner given by a relative path is made absolute,
    because the tool runs inside the scratch folder."""
    words = shlex.split(prefix)
    if words and os.path.exists(words[0]):
        words[0] = os.path.abspath(words[0])
    return words


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tavo", required=True, help="the tavo executable")
    parser.add_argument("--prefix", default="", help="command that runs the executable (wine)")
    parser.add_argument("--scratch", default=None, help="folder for the scratch folders")
    parser.add_argument("--filter", default="", help="run only cases whose name holds this")
    parser.add_argument("--locales", default=None,
                        help="folder for the locales the system lacks (default: in --scratch)")
    options = parser.parse_args()
    options.tavo = os.path.abspath(options.tavo)
    options.locales = os.path.abspath(options.locales or os.path.join(options.scratch or ".",
                                                                       "locale"))
    options.locpaths = {}

    # The echo line repeats the program name as the system hands it over. A
    # prefix is Wine for the .exe, or an emulator for a Linux build.
    windows = options.tavo.lower().endswith(".exe")
    if options.prefix:
        probe = run_tool(options, options.scratch or ".", [])
        echo = probe.stdout[len(m.BANNER):].split(b"\r\n", 1)[0]
        if not echo.lower().endswith(b"tavo.exe" if windows else b"tavo"):
            print("FAILED: cannot read the echo line from %r" % probe.stdout[:200])
            return 1
    else:
        echo = b"tavo"

    passed = failed = skipped = 0
    for case in build_cases("\\" if windows else "/"):
        if options.filter not in case.name:
            continue
        if (case.native_only and windows) or (case.windows_only and not windows):
            skipped += 1
            print("SKIPPED (%s only): %s" % ("Linux" if case.native_only else "Windows", case.name))
            continue
        problem = run_case(options, case, echo)
        if problem:
            failed += 1
            print("FAILED: %s: %s" % (case.name, problem))
        else:
            passed += 1
    print("end-to-end: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
