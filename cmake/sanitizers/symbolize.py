#!/usr/bin/env python3
"""Symbolizes sanitizer reports written with symbolize=0, in place.

The suite's processes report without symbolizing: a daemon that a test kills
while its report waits for the symbolizer would leave a report cut after its
first line. Frames look like "#3 0x55d0c1a2b3c4 (/path/binary+0x1a2b3c)"
(AddressSanitizer, UBSan) or "#3 <null> <null> (binary+0x1a2b3c)" with the
module's base name only (ThreadSanitizer); each gains "in function file:line"
from llvm-symbolizer (or stays as it was when the symbolizer is missing or the
module cannot be found).

    symbolize.py [--build DIR] REPORT...

A base name is resolved from the full paths the report names elsewhere (its
SUMMARY line), then from the files of DIR.
"""
import os
import re
import shutil
import subprocess
import sys

FRAME = re.compile(r"^(\s*#\d+)(?: 0x[0-9a-f]+| <null> <null>)? +(?:in )?\(([^()+\s]+)\+(0x[0-9a-f]+)\)(.*)$")
FULL_PATH = re.compile(r"(/[^\s()+]+)\+0x[0-9a-f]+")


def build_files(build):
    """Base name -> path of the regular files under BUILD (programs, plugins, libraries)."""
    found = {}
    if build:
        for top, dirs, files in os.walk(build):
            dirs[:] = [d for d in dirs if d not in ("CMakeFiles", "sanitizer-reports", "Testing")]
            for name in files:
                found.setdefault(name, os.path.join(top, name))
    return found


def symbolize(frames):
    tool = shutil.which("llvm-symbolizer")
    if tool is None or not frames:
        return {}
    query = "".join(f'"{module}" {offset}\n' for module, offset in frames)
    try:
        out = subprocess.run([tool, "--demangle", "--inlining=false"], input=query, capture_output=True,
                             text=True, timeout=300).stdout
    except (OSError, subprocess.SubprocessError):
        return {}
    blocks = [b.splitlines() for b in out.strip("\n").split("\n\n")]
    names = {}
    for frame, block in zip(frames, blocks):
        if len(block) >= 2 and block[0] != "??":
            names[frame] = f"{block[0]} {block[1]}"
    return names


args = sys.argv[1:]
build = None
if len(args) >= 2 and args[0] == "--build":
    build, args = args[1], args[2:]
in_build = build_files(build)

for path in args:
    with open(path, errors="replace") as source:
        text = source.read()
    lines = text.splitlines()
    known = dict(in_build)
    known.update((os.path.basename(p), p) for p in FULL_PATH.findall(text))
    frames = []
    for line in lines:
        match = FRAME.match(line)
        if match:
            module = match.group(2) if match.group(2).startswith("/") else known.get(match.group(2))
            if module and (module, match.group(3)) not in frames:
                frames.append((module, match.group(3)))
    names = symbolize(frames)
    if not names:
        continue
    result = []
    for line in lines:
        match = FRAME.match(line)
        name = None
        if match:
            module = match.group(2) if match.group(2).startswith("/") else known.get(match.group(2))
            name = names.get((module, match.group(3)))
        result.append(f"{match.group(1)} in {name} ({match.group(2)}+{match.group(3)})" if name else line)
    with open(path, "w") as out:
        out.write("\n".join(result) + "\n")
