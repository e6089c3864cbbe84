#!/usr/bin/env python3
"""Checks the built code for the vector bodies of the hot loops, without timing anything.

Every function the source marks KRR_VECTOR_CLONES is compiled twice, for AVX2 and for the
baseline. That only pays when each clone holds the loop itself. A loop moved into a helper
that the compiler does not inline into the clones leaves two clones that only jump to one
baseline body, and prediction once ran at a sixth of its speed that way, unnoticed. So, in
the disassembly of each given file (an object, a static library, a module):
  - every function marked in the source has both clones;
  - neither clone only jumps or calls elsewhere: a body of a handful of instructions that
    ends in a jump, or whose only work is a call, is refused;
  - the AVX2 clone uses 256-bit registers somewhere: its loop was vectorised for AVX2.
Usage: vector_clones_check.py SOURCE_DIR FILE...   (exit 1 with a line per fault)
A static library (.a) must hold every marked function; a module, those it links.
Where the build makes no clones (no target_clones: not x86-64 Linux with glibc), it says so
and passes.
"""
import re
import subprocess
import sys
from pathlib import Path

MARK = re.compile(r"KRR_VECTOR_CLONES\s*\n(?:inline\s+)?[\w:<>,\s\*&]+?\b(\w+)\s*\(", re.M)
HEADER = re.compile(r"^[0-9a-f]+ <(.+)>:$")
CLONE = re.compile(r"^(?P<fn>.+?)\(.*\) \[clone \.(?P<kind>avx2|default)\]$")
SHORT_BODY = 6  # instructions: a body this short that ends in a jump only forwards the call


def marked_functions(source_dir):
    names = set()
    for path in list(Path(source_dir, "core").rglob("*.cpp")) + list(Path(source_dir, "core").rglob("*.h")):
        if path.name == "vector_clones.h":
            continue
        names.update(MARK.findall(path.read_text()))
    return names


def bodies(path):
    """{(function, clone kind): [instruction lines]} from the demangled disassembly."""
    text = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", str(path)],
                          capture_output=True, text=True, check=True).stdout
    found, current = {}, None
    for line in text.splitlines():
        header = HEADER.match(line)
        if header:
            clone = CLONE.match(header.group(1).replace("(anonymous namespace)::", ""))
            current = None
            if clone:
                name = clone.group("fn").split("::")[-1]
                current = found.setdefault((name, clone.group("kind")), [])
            continue
        if current is not None and line.strip() and ":" in line:
            current.append(line.split(":", 1)[1].strip())
    return found


def faults_of(path, marked):
    found = bodies(path)
    if not found:
        return None  # no clones in this build
    faults = []
    # A static library holds every function of the core; a module only those it links.
    present = marked if str(path).endswith(".a") else {n for (n, _) in found if n in marked}
    for name in sorted(present):
        for kind in ("avx2", "default"):
            body = [i for i in found.get((name, kind), []) if i and not i.startswith(("nop", "data16", "cs nop", "xchg   %ax,%ax"))]
            if (name, kind) not in found:
                faults.append(f"{path}: {name} has no {kind} clone")
                continue
            ops = [i.split()[0] for i in body]
            work = [o for o in ops if not o.startswith(("jmp", "call", "ret", "push", "pop", "sub", "add", "mov", "lea", "endbr"))]
            if len(body) <= SHORT_BODY and ops and ops[-1].startswith("jmp"):
                faults.append(f"{path}: the {kind} clone of {name} only jumps elsewhere: {'; '.join(body)}")
            elif ops and any(o.startswith("call") for o in ops) and len(work) == 0:
                faults.append(f"{path}: the {kind} clone of {name} only calls elsewhere: {'; '.join(body)}")
            elif kind == "avx2" and not any("ymm" in i for i in body):
                faults.append(f"{path}: the avx2 clone of {name} uses no 256-bit register: its loop was not vectorised")
    return faults


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    marked = marked_functions(sys.argv[1])
    if not marked:
        print("no function of the core is marked KRR_VECTOR_CLONES")
        return 1
    faults, checked = [], 0
    for path in sys.argv[2:]:
        result = faults_of(path, marked)
        if result is None:
            print(f"{path}: no clones (this build makes none)")
            continue
        checked += 1
        faults += result
    for fault in faults:
        print(fault)
    if not faults:
        print(f"{len(marked)} marked functions, both clones with their own bodies, in {checked} files")
    return 1 if faults else 0


sys.exit(main())
