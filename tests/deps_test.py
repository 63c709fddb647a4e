#!/usr/bin/env python3
"""Fails when what CMake finds for a preset, or a program a script calls, comes
from a Debian package that its list in scripts/install-deps.sh does not pull in.
usage: deps_test.py SOURCE_DIR SCRATCH_DIR"""
import fnmatch, functools, glob, json, os, re, shutil, subprocess, sys

src, scratch = map(os.path.abspath, sys.argv[1:3])
# Who runs each script (first match): targets or presets of install-deps.sh.
SCRIPTS = [("scripts/demo.sh", "console"), ("scripts/install-deps.sh", ""), ("*fuzz*", "fuzz"),
           ("*package*", "package"), ("cmake/wine*", "windows"), ("bench/wine*", "native windows"),
           ("tests/check_imports.sh", "windows"), ("*compare_platforms.py", "mingw-i686"),
           ("tests/dialog/*", "mingw-i686"), ("docs/*", "mingw-i686"), ("cmake/*", "console tests"),
           ("tests/*", "console tests"), ("bench/*", "native"), ("*", "ALL")]
SHELL = re.compile(r"(?:^|[;&|!{`]|(?<!\$\()\(|\b(?:then|do|else|if|while|until|exec|command|nice"
                   r"|env|time)\s)\s*(?:\w+=\S*\s+|-\w+\s+)*([\w./][\w.+/-]*)(?=[\s;&|)<>]|$)")
PYTHON = re.compile(r"(?:\b(?:run|Popen|check_output|which)\(|=|\breturn)\s*\[?\s*[\"']([\w.+/-]+)"
                    r"[\"']|[\"'](/(?:usr/)?s?bin/[\w.+-]+)[\"']")
PLAIN_PATH = "/usr/bin:/usr/sbin:/bin:/sbin"  # a fresh machine's: no /usr/local, no pyenv
run = lambda *cmd: subprocess.run(cmd, capture_output=True, text=True, cwd=src).stdout
listed = lambda names: run(src + "/scripts/install-deps.sh", "--list", *names.split()).split()
installed = {line[3:].split(":")[0] for line in run("dpkg-query", "-W",
             "-f=${db:Status-Abbrev}${binary:Package}\n").splitlines() if line[:2] == "ii"}
pulled_in = lambda names: installed & {line.split(":")[0] for line in run(  # recommends too, as apt
    "apt-cache", "depends", "--recurse", "--installed", "--no-suggests", "--no-conflicts",
    "--no-breaks", "--no-replaces", "--no-enhances", *names).splitlines()}
# Debian's essential and required packages are on every machine.
required = pulled_in(re.findall(r"^(\S+) (?:yes|\S*required)", run(
    "dpkg-query", "-W", "-f=${Package} ${Essential}${Priority}\n"), re.M))
uses = []  # (who, the install-deps.sh names that must cover it, file)

# Every configure preset, and the console tool alone as scripts/demo.sh builds it,
# on a plain PATH.
for name, options in [(p["name"], ["--preset", p["name"]]) for p in json.load(open(
        src + "/CMakePresets.json"))["configurePresets"] if not p.get("hidden")] + [
        ("console", ["-G", "Ninja", "-DTAVO_BUILD_TESTS=OFF", "-DTAVO_BUILD_BENCHMARKS=OFF"])]:
    if {p.split(":")[0] for p in listed(name)} - installed:
        print("not checked: %s, whose packages are not all installed" % name)
        continue
    build = os.path.join(scratch, name)
    shutil.rmtree(build, ignore_errors=True)
    subprocess.run(["cmake", *options, "-S", src, "-B", build], stdout=subprocess.DEVNULL,
                   env=dict(os.environ, PATH=PLAIN_PATH), check=True)
    # Cache entries (not the linker: the builds link through the compiler), the
    # compilers, and the package config files in a folder.
    found = re.findall(r"^(?!CMAKE_LINKER:)\w+:\w+=(/.*)$|^set\(CMAKE_\w+_COMPILER \"(/.*)\"\)$",
                       "".join(open(f).read() for f in [build + "/CMakeCache.txt"] +
                               glob.glob(build + "/CMakeFiles/*/CMake*Compiler.cmake")), re.M)
    uses += [("configuration " + name, name, f) for pair in found for value in pair if value
             for path in value.split(";") for f in [path] + glob.glob(path + "/*[Cc]onfig.cmake") +
             glob.glob(path + "/CMakeLists.txt")]

# Every script: the programs it calls (shell commands, Python subprocess lists
# and which(), interpreters).
for script in run("git", "ls-files", "*.sh", "*.py", "scripts/*", ".ci/*").split():
    text = open(os.path.join(src, script)).read()
    words = re.findall(r"^#!(?:\S*/env\s+)?(\S+)", text) + (
        [w for pair in PYTHON.findall(text) for w in pair if w] if script.endswith(".py") else
        [w for line in text.splitlines() for w in SHELL.findall(re.sub(r"(^|\s)#.*", "", line))])
    names = next(n for pattern, n in SCRIPTS if fnmatch.fnmatch(script, pattern))
    uses += [(script, names, shutil.which(w, path=PLAIN_PATH) or w) for w in words]

# dpkg knows a merged /usr's files by either name, and a link by its target.
uses = [use for use in uses if use[2][:1] == "/" and os.path.isfile(use[2])
        and not use[2].startswith((src, scratch))]
aliases = lambda path: {n for p in (path, os.path.realpath(path))
                        for n in (p, re.sub("^/usr/", "/", p))}
owner = {}
for packages, path in re.findall(r"^(?!diversion)(.*?): (.*)$", run(
        "dpkg", "-S", *set().union(*(aliases(p) for _, _, p in uses))), re.M):
    owner.setdefault(path, set()).update(p.split(":")[0] for p in packages.split(", "))
allowed = functools.lru_cache(lambda names: required | (
    pulled_in(listed("" if names == "ALL" else names)) if names else set()))
problems = sorted({"%s uses %s (%s), which scripts/install-deps.sh %s does not install" % (
    who, path, ", ".join(sorted(packages)) or "no package", names or "(nothing)")
    for who, names, path in uses
    for packages in [set().union(*(owner.get(a, set()) for a in aliases(path)))]
    if not packages & allowed(names)})
print("\n".join(problems) or "every preset and script needs only its own packages")
sys.exit(1 if problems else 0)
