#!/usr/bin/env python3
"""krrard train and predict under mpirun: on the training cases of the bitwise corpus
(written by the test host's bitwise_cases, with tarvel's outputs) and on the diabetes data,
every rank count P = 1, 2, 3 gives the single process's coefficients, gradient and report
lines bit for bit, and the single process gives tarvel's; train --verbose counts each rank's
messages and bytes. predict gives the single process's predictions, deviations, intervals
and lines at P = 1, 2, 3, with each method of the deviations, from CSV and binary files, with
ranks holding no rows, and picks the method by all the rows. A rank that cannot read its
rows, or that a signal reaches, or that is killed, ends the whole job soon with a nonzero
code and no output file. learn under several ranks refuses with the usage code.

Exits 77 (skipped) where mpirun is missing.

usage: mpi_test.py KRRARD MPIRUN BITWISE_CASES DIABETES.csv WORK"""
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

krrard, mpirun, bitwise_cases, diabetes, work = sys.argv[1:6]
if not shutil.which(mpirun):
    print(f"{mpirun} not found: the runs under MPI are skipped")
    sys.exit(77)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
failures = []
env = dict(os.environ)
if os.geteuid() == 0:  # Open MPI refuses root unless told
    env.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
launch = [mpirun, "--oversubscribe", "-np"]


def path(name):
    return os.path.join(work, name)


def write_binary(name, rows, cols):
    """rows: a flat list of rows * cols doubles, row after row."""
    with open(path(name), "wb") as f:
        f.write(b"KRRDATA\0" + struct.pack("<IIQQ", 1, 0, len(rows) // cols if cols else 0, cols))
        f.write(struct.pack(f"<{len(rows)}d", *rows))
    return path(name)


def read_binary(name):
    with open(name, "rb") as f:
        data = f.read()
    rows, cols = struct.unpack("<QQ", data[16:32])
    return data[32:], rows * cols


def report(stderr):
    """The report and warning lines, but the elapsed time (mpirun's own lines dropped)."""
    return [l for l in stderr.splitlines() if l.startswith("krrard") and "Elapsed" not in l]


def train(ranks, data, args, tag):
    """Runs train, as one process (ranks 0) or under mpirun; its code, report, outputs."""
    alpha, grad = path(f"a_{tag}_{ranks}.bin"), path(f"g_{tag}_{ranks}.bin")
    command = [krrard, "train", data, *args, "-o", alpha, "--gradient", grad, "--threads", "1"]
    if ranks:
        command = launch + [str(ranks)] + command
    p = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env,
                       stdin=subprocess.DEVNULL)
    outputs = [read_binary(f)[0] if os.path.exists(f) else None for f in (alpha, grad)]
    return p.returncode, report(p.stderr), outputs, p.stderr


def same_everywhere(data, args, tag):
    """The single process's run, then P = 1, 2, 3 required to equal it."""
    single = train(0, data, args, tag)
    if single[2][0] is None:
        failures.append(f"{tag}: one process wrote no coefficients:\n{single[3]}")
    for ranks in (1, 2, 3):
        run = train(ranks, data, args, tag)
        if run[:3] != single[:3]:
            failures.append(f"{tag}: {ranks} ranks differ from one process (exit {run[0]} vs "
                            f"{single[0]}; report {run[1]} vs {single[1]}; coefficients "
                            f"{'equal' if run[2][0] == single[2][0] else 'differ'}, gradient "
                            f"{'equal' if run[2][1] == single[2][1] else 'differ'})\n{run[3]}")
    return single


# The corpus: its training cases, as bitwise_cases writes them (doubles: the case count, then
# per case kind, seed, d, n, nt, ridge, tol, k, cache, X, y, w; the results per case alpha,
# grad, evals, objective, warning).
cases_file, results_file = path("cases.bin"), path("results.bin")
subprocess.run([bitwise_cases, cases_file, results_file], check=True, capture_output=True)
cases = struct.unpack(f"<{os.path.getsize(cases_file) // 8}d", open(cases_file, "rb").read())
results = struct.unpack(f"<{os.path.getsize(results_file) // 8}d", open(results_file, "rb").read())
at, got, checked = 1, 0, 0
for number in range(int(cases[0])):
    kind, seed, d, n, nt, ridge, tol, k, cache = cases[at:at + 9]
    if kind != 1:
        break
    d, n = int(d), int(n)
    at += 9
    X, y, w = cases[at:at + d * n], cases[at + d * n:at + d * n + n], cases[at + d * n + n:at + d * n + n + d + 1]
    at += d * n + n + d + 1
    alpha, grad, evals, objective = (results[got:got + n], results[got + n:got + 2 * n],
                                     results[got + 2 * n], results[got + 2 * n + 1])
    got += 2 * n + 3
    if not tol > 0:  # the command line refuses a NaN tolerance, as it refuses any not > 0
        continue
    rows = []
    for j in range(n):
        rows += list(X[j * d:(j + 1) * d]) + [y[j]]
    data = write_binary(f"case{number}.bin", rows, d + 1)
    args = ["--weights", ",".join(repr(v) for v in w), "--ridge", repr(ridge), "--tol", repr(tol),
            "--block-size", str(int(k)), "--cache-bytes", repr(cache), "--seed", str(int(seed))]
    code, lines, (a, g), stderr = same_everywhere(data, args, f"case{number}")
    if a is None:
        continue
    if (a != struct.pack(f"<{n}d", *alpha) or g != struct.pack(f"<{n}d", *grad) or
            f"krrard train: Number of kernel evaluation is {evals:.0f}." not in lines or
            f"krrard train: Objectve function is {objective:f}" not in lines):
        failures.append(f"case{number}: one process differs from tarvel\n{stderr}")
    checked += 1
if checked < 20:
    failures.append(f"only {checked} corpus cases were run")

# Diabetes, read from its CSV by every rank, and from the binary format by rows.
weights = ",".join(["0.0005", "0.3", "0.002", "0.0004", "0.0001", "0.0001", "0.0006", "0.05", "0.4", "0.0004", "1"])
lines = [l.split(",") for l in open(diabetes).read().splitlines()[1:]]
table = [float(v) for l in lines for v in l]
diabetes_bin = write_binary("diabetes.bin", table, len(lines[0]))
for data, tag in ((diabetes, "diabetes_csv"), (diabetes_bin, "diabetes_bin")):
    same_everywhere(data, ["--weights", weights, "--ridge", "0.05", "--tol", "1e-9", "--block-size", "48",
                           "--cache-bytes", "300000", "--seed", "5"], tag)

# The traffic counts: with --verbose, rank 0 prints one line of every rank's messages and
# bytes per pass; every rank takes part in every collective operation, so their message
# counts agree, and every rank sends something. The coefficients are the same.
plain = train(0, diabetes_bin, ["--weights", weights, "--ridge", "0.05", "--tol", "1e-9", "--seed", "5"], "plain")
for ranks in (2, 3):
    run = train(ranks, diabetes_bin, ["--weights", weights, "--ridge", "0.05", "--tol", "1e-9", "--seed", "5",
                                      "--verbose"], "verbose")
    counted = [l for l in run[1] if "messages per pass" in l]
    numbers = re.match(r"krrard train: (\d+) ranks, [\d.]+ passes over the data; messages per pass ([\d. ]+); "
                       r"bytes per pass ([\d ]+) \(rank 0 first\)$", counted[0]) if len(counted) == 1 else None
    messages = [float(v) for v in numbers.group(2).split()] if numbers else []
    sent = [float(v) for v in numbers.group(3).split()] if numbers else []
    if (run[2] != plain[2] or [l for l in run[1] if l not in counted] != plain[1] or not numbers or
            int(numbers.group(1)) != ranks or len(messages) != ranks or len(set(messages)) != 1 or
            len(sent) != ranks or min(sent) <= 0):
        failures.append(f"train --verbose under {ranks} ranks: {run[1]}\n{run[3]}")

# predict: a model learnt on diabetes, then its rows predicted (the target column skipped).
model = path("diabetes.mat")
subprocess.run([krrard, "learn", diabetes, "-o", model, "--quiet", "--threads", "1"], check=True,
               capture_output=True, env=env)


def predict(ranks, data, args, tag):
    """Runs predict; its code, lines (the seconds dropped), outputs and standard error."""
    files = [path(f"{name}_{tag}_{ranks}.bin") for name in ("p", "sd", "iv")]
    command = [krrard, "predict", model, data, "--outputs", "1", "--threads", "1", "-o", files[0], *args]
    if "--deviations" in args:
        command[command.index("--deviations") + 1] = files[1]
        command += ["--intervals", files[2]]
    if ranks:
        command = launch + [str(ranks)] + command
    p = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env, stdin=subprocess.DEVNULL)
    lines = [re.sub(r" in [\d.]+ s$", "", l) for l in p.stderr.splitlines() if l.startswith("krrard")]
    outputs = [read_binary(f)[0] if os.path.exists(f) else None for f in files]
    return p.returncode, lines, outputs, p.stderr


def predict_everywhere(data, args, tag, counts=(1, 2, 3)):
    single = predict(0, data, args, tag)
    if single[0] != 0 or single[2][0] is None or ("--deviations" in args and None in single[2]):
        failures.append(f"predict {tag}: one process failed:\n{single[3]}")
    for ranks in counts:
        run = predict(ranks, data, args, tag)
        if run[:3] != single[:3]:
            failures.append(f"predict {tag}: {ranks} ranks differ from one process (exit {run[0]} vs {single[0]}; "
                            f"lines {run[1]} vs {single[1]}; outputs "
                            f"{['equal' if x == y else 'differ' for x, y in zip(run[2], single[2])]})\n{run[3]}")
    return single


predict_everywhere(diabetes, [], "csv")
predict_everywhere(diabetes_bin, [], "bin")
# Deviations: rank 0 takes all the rows (the exact ones solve them in batches, the
# approximate ones are checked on rows spread over all of them).
for method in ("approximate", "exact"):
    single = predict_everywhere(diabetes_bin, ["--deviations", "sd", "--method", method, "--rank", "60"], method)
    if not any(("exactly" if method == "exact" else "approximately") in l for l in single[1]):
        failures.append(f"predict {method}: no progress line of that method: {single[1]}")
# Two rows among three ranks: rank 0 holds none, yet prints the warnings and the line.
predict_everywhere(write_binary("two.bin", table[:2 * len(lines[0])], len(lines[0])),
                   ["--deviations", "sd", "--method", "approximate", "--rank", "5"], "two", (3,))
# The automatic method by all the rows: n^2 m above the exact method's limit takes the
# approximate one, though each rank's share alone would be solved exactly.
many = [table[(j % len(lines)) * len(lines[0]) + l] * (1 + 1e-3 * (j // len(lines)))
        for j in range(110000) for l in range(len(lines[0]))]
single = predict_everywhere(write_binary("many.bin", many, len(lines[0])), ["--deviations", "sd", "--rank", "40"],
                            "many", (3,))
if not any("approximately" in l for l in single[1]):
    failures.append(f"predict at 110,000 rows: not the approximate method: {single[1]}")

# The learner does not share its rows yet: refused, with the usage code, on every rank.
p = subprocess.run(launch + ["2", krrard, "learn", diabetes, "-o", path("m.mat")], capture_output=True,
                   text=True, timeout=120, env=env, stdin=subprocess.DEVNULL)
if p.returncode != 2 or "runs as one process" not in p.stderr or p.stderr.count("krrard learn:") != 1 \
        or os.path.exists(path("m.mat")):
    failures.append(f"learn under 2 ranks: exit {p.returncode}\n{p.stderr}")

# A value the last rank's rows hold that is refused: that rank names the byte, the job ends
# with the input code, and nothing is written.
bad = list(table)
bad[-3] = math.nan
bad_bin = write_binary("bad.bin", bad, len(lines[0]))
offset = 32 + 8 * (len(bad) - 3)
p = subprocess.run(launch + ["3", krrard, "train", bad_bin, "--weights", weights, "--ridge", "1", "-o",
                             path("bad_alpha.bin")], capture_output=True, text=True, timeout=120, env=env,
                   stdin=subprocess.DEVNULL)
if p.returncode != 3 or f"byte {offset}" not in p.stderr or p.stderr.count("krrard train:") != 1:
    failures.append(f"a refused value in the last rank's rows: exit {p.returncode}\n{p.stderr}")

# A long run whose second rank gets SIGTERM, or is killed: the job ends within seconds with a
# nonzero code (the interrupted code for SIGTERM), and no coefficients, not even a temporary file.
n = 20000
state = 1
values = []
for j in range(n):
    row = []
    for _ in range(4):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        row.append((state >> 11) / 2**53)
    values += row + [math.cos(4 * row[0]) - row[2]]
long_bin = write_binary("long.bin", values, 5)
for sig, expected in ((signal.SIGTERM, 130), (signal.SIGKILL, None)):
    out = path("long_alpha.bin")
    p = subprocess.Popen(launch + ["3", krrard, "train", long_bin, "--weights", "2,1,0.5,3,1", "--ridge", "1e-4",
                                   "--tol", "1e-12", "--cache-bytes", "0", "--threads", "1", "-o", out],
                         stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                         text=True, env=env, start_new_session=True)
    # The second rank's process: a child of the launcher, found by its command line.
    rank = None
    deadline = time.monotonic() + 30
    while rank is None and time.monotonic() < deadline:
        time.sleep(0.2)
        found = subprocess.run(["pgrep", "-s", str(p.pid), "-f", f"^{krrard} train {long_bin}"],
                               capture_output=True, text=True).stdout.split()
        rank = sorted(int(x) for x in found)[1] if len(found) == 3 else None
    time.sleep(1.5)  # the ranks are solving
    if rank is None or p.poll() is not None:
        failures.append(f"{sig.name}: the job's ranks were not found running")
        p.kill()
        p.wait()
        continue
    sent = time.monotonic()
    os.kill(rank, sig)
    try:
        stderr = p.communicate(timeout=30)[1]
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        failures.append(f"{sig.name} to one rank: the job did not end within 30 s")
        continue
    waited = time.monotonic() - sent
    left = [f for f in os.listdir(work) if "long_alpha" in f]
    if p.returncode == 0 or (expected and p.returncode != expected) or left or waited > 10:
        failures.append(f"{sig.name} to one rank: exit {p.returncode} after {waited:.1f} s, files left {left}\n{stderr}")
    if expected and "interrupted by a signal" not in stderr:
        failures.append(f"{sig.name} to one rank: no message saying so\n{stderr}")
    print(f"{sig.name} to one of 3 ranks: exit {p.returncode} {waited:.2f} s after the signal")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print(f"krrard under mpirun: {checked} corpus cases, diabetes and its predictions the same at P = 1, 2, 3; "
      "failures end the job")
