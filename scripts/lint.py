#!/usr/bin/env python3
"""clang-tidy (checks in .clang-tidy) on the program's sources, with the compile database of a
build folder that the Makefile made and built (make build-test).

    scripts/lint.py [BUILD] [SOURCE...]     default: build, every .cpp under src

Fails when clang-tidy reports anything in a file of src, and prints each finding once, with the
path of the file in src (also for headers that the core's include views reach by a link).

A clean result is kept per source in a cache, as ccache keeps objects: its key is the hash of
clang-tidy's version, .clang-tidy, the compile command and the contents of the source and of
every header it included in the last build (ninja's dependency log), with the checkout's path
taken out, so that another clone of the same sources reuses it. TARNWICK_LINT_CACHE names the
cache folder (default ~/.cache/tarnwick-lint; "off" turns it off). JOBS runs that many at once.
"""
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
WARNING = re.compile(r"^(?P<path>[^\s:][^:]*):(?P<line>\d+):(?P<column>\d+): "
                     r"(?P<kind>warning|error): (?P<text>.*?)(?: \[(?P<check>[^\]]+)\])?$")
COLOURS = re.compile(r"\x1b\[[0-9;]*m")


def tidy_program():
    for name in ("clang-tidy-14", "clang-tidy"):
        for folder in os.environ.get("PATH", "").split(os.pathsep):
            candidate = os.path.join(folder, name)
            if os.access(candidate, os.X_OK):
                return candidate
    return None


def in_sources(path):
    """The path below src of the checkout, or None for anything else (system and generated)."""
    real = os.path.realpath(path)
    source = os.path.join(ROOT, "src") + os.sep
    return os.path.relpath(real, ROOT) if real.startswith(source) else None


def object_of(entry):
    words = shlex.split(entry["command"])
    for i, word in enumerate(words[:-1]):
        if word == "-o":
            return words[i + 1]
    return None


def dependencies(build):
    """Object (as ninja names it) -> the files its last compilation read."""
    output = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True,
                            text=True, check=True).stdout
    result = {}
    current = None
    for line in output.splitlines():
        if not line.strip():
            current = None
        elif not line.startswith(" "):
            current = line.split(":", 1)[0]
            result[current] = [] if "(VALID)" in line else None
        elif current is not None and result[current] is not None:
            result[current].append(line.strip())
    return result


class Hasher:
    def __init__(self):
        self.known = {}

    def file(self, path):
        if path not in self.known:
            digest = hashlib.sha256()
            try:
                with open(path, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        digest.update(block)
            except OSError:
                digest.update(b"missing")
            self.known[path] = digest.hexdigest()
        return self.known[path]


def without_root(text):
    return text.replace(ROOT, "<root>")


def run_tidy(program, build, source):
    done = subprocess.run([program, "-p", build, "--quiet", source], capture_output=True,
                          text=True, cwd=ROOT)
    return done.returncode, COLOURS.sub("", done.stdout + done.stderr)


def findings_of(output):
    """(file in src, line, column, kind, text, check) for each finding in our sources."""
    found = []
    for line in output.splitlines():
        match = WARNING.match(line)
        if not match:
            continue
        path = in_sources(match["path"]) if os.path.isabs(match["path"]) else \
            in_sources(os.path.join(ROOT, match["path"]))
        if path is None:
            continue
        found.append((path, int(match["line"]), int(match["column"]), match["kind"],
                      match["text"], match["check"] or ""))
    return found


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args[0] if args else "build")
    wanted = {os.path.realpath(path) for path in args[1:]}
    program = tidy_program()
    if program is None:
        print("clang-tidy 14 is not installed (Debian package clang-tidy-14)", file=sys.stderr)
        return 1
    database = os.path.join(build, "compile_commands.json")
    if not os.path.exists(database):
        print(f"no {database}: build first (make build-test)", file=sys.stderr)
        return 1
    with open(database) as f:
        entries = [e for e in json.load(f) if in_sources(e["file"]) and e["file"].endswith(".cpp")
                   and (not wanted or os.path.realpath(e["file"]) in wanted)]

    cache = os.environ.get("TARNWICK_LINT_CACHE",
                           os.path.join(os.environ.get("XDG_CACHE_HOME",
                                                       os.path.expanduser("~/.cache")),
                                        "tarnwick-lint"))
    use_cache = cache != "off"
    if use_cache:
        os.makedirs(cache, exist_ok=True)
    version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout
    with open(os.path.join(ROOT, ".clang-tidy"), "rb") as f:
        config = f.read()
    deps = dependencies(build)
    hasher = Hasher()

    def key_of(entry):
        inputs = deps.get(object_of(entry))
        if not inputs:
            return None  # not built yet: no list of what it reads
        digest = hashlib.sha256()
        digest.update(version.encode())
        digest.update(config)
        digest.update(without_root(entry["command"]).encode())
        for path in inputs:
            full = path if os.path.isabs(path) else os.path.join(build, path)
            digest.update(without_root(os.path.realpath(full)).encode())
            digest.update(hasher.file(full).encode())
        return digest.hexdigest()

    todo = []
    reused = 0
    for entry in entries:
        key = key_of(entry) if use_cache else None
        if key and os.path.exists(os.path.join(cache, key)):
            reused += 1
        else:
            todo.append((entry, key))

    jobs = max(1, int(os.environ.get("JOBS", "2")))
    findings = set()
    failed = []

    def lint(item):
        entry, key = item
        return entry, key, *run_tidy(program, build, entry["file"])

    with ThreadPoolExecutor(jobs) as pool:
        for entry, key, code, output in pool.map(lint, todo):
            found = findings_of(output)
            findings.update(found)
            if code != 0 and not any(f[3] == "error" for f in found):
                failed.append((entry["file"], output))
            elif not found and key:
                with open(os.path.join(cache, key), "w") as f:
                    f.write(in_sources(entry["file"]) + "\n")

    for path, output in failed:
        print(f"clang-tidy failed on {in_sources(path)}:\n{output}")
    for path, line, column, kind, text, check in sorted(findings):
        print(f"{path}:{line}:{column}: {kind}: {text} [{check}]")
    print(f"clang-tidy: {len(entries)} sources, {reused} unchanged since a clean run, "
          f"{len(todo)} checked, {len(findings)} findings")
    return 1 if findings or failed else 0


if __name__ == "__main__":
    sys.exit(main())
