#!/usr/bin/env python3
"""The command line's behaviour: help, version and exit codes; refusals naming the file
and the line or byte; a binary data file giving the same coefficients as its CSV; and
SIGTERM and SIGINT during a long learn, which must end it with the interrupted code and
leave no model file, not even a temporary one.

usage: cli_test.py KRRARD DATA.csv WORK"""
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import time

krrard, data, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
failures = []


def run(*args, code=0, stderr_has=(), stdout_has=()):
    p = subprocess.run([krrard, *args], capture_output=True, text=True, timeout=120)
    problems = []
    if p.returncode != code:
        problems.append(f"exit {p.returncode}, expected {code}")
    problems += [f"no '{s}' on stderr" for s in stderr_has if s not in p.stderr]
    problems += [f"no '{s}' on stdout" for s in stdout_has if s not in p.stdout]
    if problems:
        failures.append(f"krrard {' '.join(args)}: {'; '.join(problems)}\n{p.stderr}")
    return p


def path(name):
    return os.path.join(work, name)


def write_binary(name, rows):
    with open(path(name), "wb") as f:
        f.write(b"KRRDATA\0" + struct.pack("<IIQQ", 1, 0, len(rows), len(rows[0])))
        for r in rows:
            f.write(struct.pack(f"<{len(r)}d", *r))
    return path(name)


# Help, version and usage errors.
run("--help", stdout_has=["Exit codes:", "130"])
for command in ("train", "learn", "predict"):
    run(command, "--help", stdout_has=[f"Usage: krrard {command}", "Exit codes:"])
run("--version", stdout_has=["krrard "])
run(code=2, stderr_has=["expected a command"])
run("fit", code=2, stderr_has=["unknown command 'fit'"])
run("learn", data, code=2, stderr_has=["-o FILE is required"])
run("learn", data, "-o", path("m.mat"), "--bogus", "1", code=2, stderr_has=["unknown option --bogus"])
run("learn", data, "-o", path("m.mat"), "--max-iterations", "1.5", code=2,
    stderr_has=["krrard learn: --max-iterations must be a whole number"])
run("learn", data, "-o", path("m.mat"), "--length-scales", "1,2", code=2,
    stderr_has=["krrard learn: --length-scales"])
run("learn", data, "-o", path("m.mat"), "--kernel", "cubic", code=2,
    stderr_has=["krrard learn: --kernel must be 'squaredexponential'", "got 'cubic'"])
run("predict", path("m.mat"), data, "-o", path("p.txt"), code=2, stderr_has=["must end in .csv"])
run("train", data, "-o", path("a.csv"), "--weights", "1,2", "--ridge", "1", code=2,
    stderr_has=["--weights must have d + 1 = 11 entries"])

# Bad input files name the file and the line and column, or the byte.
with open(path("bad.csv"), "w") as f:
    f.write("a,b,c\n1,2,3\n4,5,six\n")
run("learn", path("bad.csv"), "-o", path("m.mat"), code=3, stderr_has=[path("bad.csv") + ":3:5: 'six' is not a number"])
rows = [[float(v) for v in line.split(",")] for line in open(data).read().splitlines()[1:]]
full = write_binary("diabetes.bin", rows)
with open(full, "rb") as f:
    whole = f.read()
with open(path("cut.bin"), "wb") as f:
    f.write(whole[:-5])
run("learn", path("cut.bin"), "-o", path("m.mat"), code=3, stderr_has=["cut.bin: byte %d: the file ends early" % (len(whole) - 5)])
run("predict", full, data, "-o", path("p.csv"), code=3, stderr_has=["diabetes.bin: byte 126: not a MAT-file"])
run("learn", data, "-o", path("m.mat"), "--quiet", "--max-iterations", "2")
run("predict", path("m.mat"), data, "-o", path("p.csv"), code=3,
    stderr_has=["11 feature columns, but the model was fitted on 10; --outputs 1 ignores"])

# The binary file gives the CSV's coefficients; a tolerance below what double precision
# reaches is a failure (1), its iterate still written; an unwritable output is 4.
weights = ",".join(["0.001"] * 10 + ["1000"])
train = ["--weights", weights, "--ridge", "10", "--seed", "3", "--quiet"]
run("train", data, "-o", path("a_csv.bin"), *train)
run("train", full, "-o", path("a_bin.bin"), *train)
if open(path("a_csv.bin"), "rb").read() != open(path("a_bin.bin"), "rb").read():
    failures.append("train on the binary data file gave other coefficients than on the CSV")
run("train", data, "-o", path("a_tight.csv"), *train, "--tol", "1e-300", code=1, stderr_has=["not converged"])
if not os.path.exists(path("a_tight.csv")):
    failures.append("train with an unreachable tolerance wrote no coefficients")
run("train", data, "-o", os.path.join(work, "none", "a.csv"), *train, code=4, stderr_has=["cannot be written"])

# A signal during a long learn: the interrupted code, soon, and no model file.
rng = random.Random(1)
big = write_binary("big.bin", [[rng.random() for _ in range(5)] for _ in range(20000)])
for sig in (signal.SIGTERM, signal.SIGINT):
    model = path("long.mat")
    p = subprocess.Popen([krrard, "learn", big, "-o", model], stderr=subprocess.PIPE, text=True)
    first = p.stderr.readline()  # the first progress line: the fit is running
    time.sleep(0.5)
    sent = time.monotonic()
    p.send_signal(sig)
    try:
        rest = p.communicate(timeout=60)[1]
    except subprocess.TimeoutExpired:
        p.kill()
        failures.append(f"learn did not stop within 60 s of {sig.name}")
        continue
    waited = time.monotonic() - sent
    left = [n for n in os.listdir(work) if n.startswith("long.mat") or n.startswith(".long.mat")]
    if p.returncode != 130 or left or "interrupted" not in rest or not first:
        failures.append(f"learn after {sig.name}: exit {p.returncode}, files left {left}, "
                        f"first line {first!r}, stderr {rest!r}")
    print(f"{sig.name}: exit {p.returncode} {waited:.2f} s after the signal")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("krrard: every behaviour checked")
