#!/usr/bin/env python3
"""Symbolizes sanitizer reports written with symbolize=0, in place.

The suite's processes report without symbolizing: a daemon that a test kills
while its report waits for the symbolizer would leave a report cut after its
first line. Frames look like "#3 0x55d0c1a2b3c4 (/path/binary+0x1a2b3c)"; each
gains "in function file:line" from llvm-symbolizer (or stays as it was when
the symbolizer is missing).
"""
import re
import shutil
import subprocess
import sys

FRAME = re.compile(r"^(\s*#\d+ 0x[0-9a-f]+) +(?:in )?\((/[^()+]+)\+(0x[0-9a-f]+)\)(.*)$")


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


for path in sys.argv[1:]:
    with open(path, errors="replace") as source:
        lines = source.read().splitlines()
    frames = []
    for line in lines:
        match = FRAME.match(line)
        if match and (match.group(2), match.group(3)) not in frames:
            frames.append((match.group(2), match.group(3)))
    names = symbolize(frames)
    if not names:
        continue
    result = []
    for line in lines:
        match = FRAME.match(line)
        name = names.get((match.group(2), match.group(3))) if match else None
        result.append(f"{match.group(1)} in {name} ({match.group(2)}+{match.group(3)})" if name else line)
    with open(path, "w") as out:
        out.write("\n".join(result) + "\n")
